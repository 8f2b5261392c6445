#!/usr/bin/env bash
# The package's life on one machine: the first install (the spooler stopped, the help viewer
# open), an install over it from a new copy of the setup with two queues of the package, a
# repair from that copy, and the removal of the package with a queue (the help viewer open).
source "$(dirname "$0")/../harness.sh"
case_begin

# A help viewer of the package is closed, not killed, before a run starts its work.
viewer_closed() { wait_for grep -q '^window: closed' "$1" && record "help viewer closed"; }

wine net stop spooler >/dev/null 2>&1
[ "$(tool orvcheck state | head -n 1)" == "spooler-state: 1" ] || fatal "the spooler runs"
helper window helpviewer
orvinst install
viewer_closed "$HELPER_OUT"
expect install
old_tray=$(tray_window)

# The package's queues as its earlier runs leave them, "My Queue" the default printer with the
# "deleted" mark in its settings key that a queue made again loses.
SETTINGS='HKCU\Software\Vantrel Software KFT\Orvalstone\Orvalstones\q7'
wine_forget 'Printers\Orvalstone'
add_package_queue "My Queue" q7 "the comment" "room 5" default
add_package_queue Second q8 c2 l2 plain
wine reg add "$SETTINGS" /v deleted /t REG_DWORD /d 1 /f >/dev/null 2>&1 || fatal "no settings key"
# The second copy, in C:\orv2, as the setup program unpacks each run into a folder of its own.
mkdir -p "$DRIVE_C/orv2/setup"
cp "$SETUP_DIR"/*.* "$DRIVE_C/orv2/setup/"
cp "$ORVINST_PACKAGE/orvtray.exe" "$DRIVE_C/orv2/"
SETUP_DIR=$DRIVE_C/orv2/setup ORVINST_WIN='C:\orv2\setup\orvinst.exe'
orvinst install
record "settings key: $(wine reg query "$SETTINGS" /v deleted | tr -d '\r' | grep -o 'REG.*')"
# What the repair kept for the next run: the queues that did not come back whole, a key each.
record "saved queues: $(wine reg query 'HKLM\Software\Vantrel Software KFT\Orvalstone\SavedQueues' \
  /s /v Queue 2>&1 | tr -d '\r' | grep -o 'REG.*')"
expect reinstall
[ "$(tray_window)" != "$old_tray" ] || fail "the old tray program's window is still there"

# The tray program registered again is the very file the Run entry names: stopped, kept and
# started again.
orvinst install
expect repair

# Wine refused the queues made again (README.md): the removal gets one that works.
wine_forget 'Printers\My Queue' 'Printers\Second'
add_package_queue "My Queue" q7 "the comment" "room 5" default
helper window helpviewer
orvinst uninstall
viewer_closed "$HELPER_OUT"
expect uninstall

case_end
