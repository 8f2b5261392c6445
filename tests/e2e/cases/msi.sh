#!/usr/bin/env bash
# The MSI package around orvanswer.exe, which answers each command word as the case asks (under
# Wine the real orvinst never ends an install with 1 or 101): a failed first install rolled
# back, the install after it, a repair, one that needs a restart, one that meets another run, the
# removal, then build 2206, the upgrade to 2300 and a removal that fails. "ran:" says which words the package ran and
# whether its files were there then.
source "$(dirname "$0")/../harness.sh"
case_begin
MSI_BUILDS="2206 2300"
PACKAGE='C:\orv\dist\orvalstone-answers.msi'
mkdir -p "$ORV_DIR/answers"
REPAIR="/i $PACKAGE REINSTALL=ALL REINSTALLMODE=vomus"
# Each step: what orvanswer answers from then on to a word (WORD=CODE; - for no change), the
# step, and msiexec's words.
for step in "install=100|failed install|/i $PACKAGE" "install=1|install|/i $PACKAGE" \
  "-|repair|$REPAIR" "install=101|repair, restart needed|$REPAIR" \
  "install=1618|repair, another run|$REPAIR" "-|uninstall|/x $PACKAGE" \
  'install=1|build 2206|/i C:\orv\dist\orvalstone-answers-2206.msi' "-|upgrade|/i $PACKAGE" \
  "uninstall=100|failed uninstall|/x $PACKAGE"; do
  IFS='|' read -r answer name words <<<"$step"
  [ "$answer" == - ] || printf '%s' "${answer#*=}" >"$ORV_DIR/answers/${answer%=*}"
  # shellcheck disable=SC2086
  msiexec $words
  expect "$name"
done

case_end
