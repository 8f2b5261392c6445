#!/usr/bin/env bash
# The MSI package's actions as Windows Installer will run them, read with msitools' msiinfo:
# the actions that run orvinst are deferred and not impersonated (type 3073: a DLL, in the
# script, as the local system account), each after the immediate action that gives it its
# data; "removetray" before the older build and the files go, "uninstall" before RemoveFiles,
# "install" between InstallFiles and InstallFinalize; the product code is the build's own.
#
#   msi_sequence.sh PACKAGE.msi BUILD
set -uo pipefail
msi=$1 build=$2 status=0
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
sequence=$(table InstallExecuteSequence) actions=$(table CustomAction)
field() { awk -F'\t' -v a="$2" -v f="$3" '$1 == a { print $f }' <<<"$1"; }
at() { field "$sequence" "$1" 3; }
problem() { echo "$msi: $*" && status=1; }
before() {
  local first second
  first=$(at "$1") second=$(at "$2")
  [[ -n $first && -n $second && $first -lt $second ]] ||
    problem "$1 (${first:-missing}) is not before $2 (${second:-missing})"
}

for action in RemoveTray RunInstall RunUninstall; do
  type=$(field "$actions" "$action" 2)
  [ "$type" == 3073 ] || problem "$action has type ${type:-none}, not 3073"
  before "Set$action" "$action"
  before InstallInitialize "$action"
  want='NOT REMOVE~="ALL"'
  [ $action != RunUninstall ] || want='REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE'
  for step in "Set$action" "$action"; do
    [ "$(field "$sequence" "$step" 2)" == "$want" ] ||
      problem "$step runs on another condition: $(field "$sequence" "$step" 2)"
  done
done
before RemoveTray RemoveExistingProducts
before RemoveTray InstallFiles
before RunUninstall RemoveFiles
before InstallFiles RunInstall
before RunInstall InstallFinalize
code=$(field "$(table Property)" ProductCode 2)
[ "$code" == "{6B1F0C3E-2D47-4A95-8E61-00000000$build}" ] || problem "product code $code"
[ $status -ne 0 ] || echo "$msi: the actions are deferred, not impersonated and in order"
exit $status
