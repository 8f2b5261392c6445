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
answer() { printf '%s' "$2" >"$ORV_DIR/answers/$1"; }

answer install 100
msiexec /i "$PACKAGE"
expect "failed install"
answer install 1
msiexec /i "$PACKAGE"
expect install
msiexec /i "$PACKAGE" REINSTALL=ALL REINSTALLMODE=vomus
expect repair
answer install 101
msiexec /i "$PACKAGE" REINSTALL=ALL REINSTALLMODE=vomus
expect "repair, restart needed"
answer install 1618
msiexec /i "$PACKAGE" REINSTALL=ALL REINSTALLMODE=vomus
expect "repair, another run"
msiexec /x "$PACKAGE"
expect uninstall

answer install 1
msiexec /i 'C:\orv\dist\orvalstone-answers-2206.msi'
expect "build 2206"
msiexec /i "$PACKAGE"
expect upgrade
answer uninstall 100
msiexec /x "$PACKAGE"
expect "failed uninstall"

case_end
