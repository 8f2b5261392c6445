#!/usr/bin/env bash
# The sample setup, silent, as a deployment runs it from C:\orv\dist: the first install, a
# repair asked to make the queue the default printer, the uninstaller where orvinst's uninstall
# fails, and again as Windows' list of programs runs it.
source "$(dirname "$0")/../harness.sh"
case_begin

setup orvalstone-setup.exe
expect install
first_tray=$(tray_window)
setup orvalstone-setup.exe /DEFAULTPRINTER
expect repair
[ "$(tray_window)" != "$first_tray" ] || fail "the first run's tray program still runs"

# In place ("_?=" keeps the uninstaller from running a copy of itself that nobody waits for),
# so that its exit code is its own.
setup "$UNINSTALLER_WIN" "_?=$INSTALL_WIN"
expect "uninstall in place"

# Again, with what Wine refused out of the way, as Windows' list of programs runs it: the
# uninstaller hands over to a copy of itself and exits at once, so the machine is read until
# that copy is done.
wine_forget "$WINE_DRIVER" 'Printers\Orvalstone'
setup "$UNINSTALLER_WIN"
expect uninstall

case_end
