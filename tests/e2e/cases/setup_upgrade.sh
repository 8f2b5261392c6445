#!/usr/bin/env bash
# The sample setup of build 2206 (monitor 2072, driver 2206), then the current one over it with
# a queue of the user's; then the uninstaller while the monitor module is held open (as the
# spooler holds it on Windows), so that its deletion waits for a restart: the setup refuses to
# install before that restart and installs after it.
source "$(dirname "$0")/../harness.sh"
case_begin

setup orvalstone-setup-2206.exe
expect "build 2206"
wine_forget 'Printers\Orvalstone'
add_package_queue "My Queue" q7 "the comment" "room 5" default
setup orvalstone-setup.exe /DEFAULTPRINTER
expect upgrade

helper hold 'C:\windows\system32\kvxmon64.dll'
[ "$HELPER_LINE" == "held: yes" ] || fatal "cannot hold the module: $HELPER_LINE"
holder=$LAUNCHED
# Without what Wine refuses, orvinst's uninstall ends as on Windows: 101, the module pending.
wine_forget "$WINE_DRIVER" 'Printers\My Queue'
setup "$UNINSTALLER_WIN" "_?=$INSTALL_WIN"
expect "uninstall, module held"

# Run by wine64 itself, whose Unix caller gets only the low 8 bits of the exit code.
rm -f "$ORV_DIR/setup.log"
(cd "$SETUP_DIR" && timeout -k 5 90 "$WINE_DIR/wine64" 'C:\orv\dist\orvalstone-setup.exe' /S \
  '/LOG=C:\orv\setup.log' </dev/null >/dev/null 2>&1)
record "setup before the restart, its exit code's low 8 bits: $?"
said
expect "before the restart"

# The restart carries the deletion out; then the setup installs.
kill "$holder"
wait "$holder"
wine wineboot -r >/dev/null 2>&1
setup orvalstone-setup.exe
expect "after the restart"

case_end
