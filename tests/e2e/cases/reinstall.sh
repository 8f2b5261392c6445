#!/usr/bin/env bash
# Install over an installed package, from a new copy of the setup (as the setup program unpacks
# each run into a folder of its own): the package's queues are saved with their SubKey and made
# again, the compatible monitor stays, the old tray program is stopped and deleted and the new
# one registered and started.
source "$(dirname "$0")/../harness.sh"
case_begin reinstall

install_package
old_tray=$(started_tray_window)
expect_line "the first install's tray program runs" "$old_tray" '^found: [0-9-]+$'
# Two queues as the package's earlier runs leave them: "My Queue" the default printer, with the
# "deleted" mark in its settings key that a re-created queue loses.
add_package_queue "My Queue" q7 "the comment" "room 5" default
add_package_queue "Second" q8 "c2" "l2" plain
wine reg add "$SETTINGS_KEY\\q7" /v deleted /t REG_DWORD /d 1 /f >/dev/null 2>&1 ||
  fatal "cannot write the settings key"

# The second copy of the setup, in C:\orv2.
first_setup=$SETUP_DIR
ORV_DIR=$WINEPREFIX/drive_c/orv2
SETUP_DIR=$ORV_DIR/setup
ORVINST_WIN='C:\orv2\setup\orvinst.exe'
mkdir -p "$SETUP_DIR"
cp "$first_setup"/* "$SETUP_DIR/"
cp "$ORVINST_PACKAGE/orvtray.exe" "$ORV_DIR/"

# Windows ends this run with 1. Under Wine, DeletePrinterDriverExW refuses the flag that deletes
# the driver's files (87, error 14 after the spooler restart), and AddPrinterW refuses every
# queue the installer makes (error 15, see harness.sh).
run_orvinst_expect 100 "$WINE_ADD_PRINTER_ERROR|^ *Error\\(14\\): Can\`t remove the printer-driver 'Orvalstone printer' - \\(Invalid parameter\\.\\)\$" install

expect_line "the default queue was deleted" "$LOG" '^        >DeletePrinter\(My Queue\)$'
expect_line "the other queue was deleted" "$LOG" '^        >DeletePrinter\(Second\)$'
expect_eq "both deletions succeeded" "$(grep -c '^          OK$' <<<"$LOG")" 2
expect_line "the monitor of build 2300 is kept" "$LOG" \
  '^        Version \(2300\) is compatible, proceed without uninstall$'
expect_no_line "so it is not added again" "$LOG" '>AddMonitor'
# Saved newest first: the queues come back in the reverse of their enumeration order.
expect_eq "queues re-created in reverse order" \
  "$(grep -o '>AddPrinter(.*)' <<<"$LOG" | head -2 | tr '\n' ' ')" \
  ">AddPrinter(Second) >AddPrinter(My Queue) "
# Wine refused both; they stay recorded for the next run, so no fallback queue is made beside
# them.
expect_no_line "no fallback queue beside queues still to come back" "$LOG" '>AddPrinter\(Orvalstone\)$'

read_state
expect_line "the monitor is still registered" "$STATE" '^monitor: "Orvalstone:" dll="kvxmon64.dll" '
expect_line "with its port" "$STATE" '^port: "Orvalstone:" monitor="Orvalstone:"$'
[ -f "$SYSTEM32/kvxmon64.dll" ] || fail "the kept monitor's module is gone from system32"
expect_line "the driver is registered" "$(state_lines driver)" '^"Orvalstone printer" version=3 '
# The queues: Wine keeps the re-created ones as keys it cannot open (see harness.sh), with what
# AddPrinterW was given: their old names on the package's port and driver.
for queue in "My Queue" Second; do
  expect_eq "$queue: port" "$(reg_value "$PRINTERS_KEY\\$queue" Port)" "Orvalstone:"
  expect_eq "$queue: driver" "$(reg_value "$PRINTERS_KEY\\$queue" 'Printer Driver')" \
    "Orvalstone printer"
done
# Without a handle to the new queue its SubKey cannot be written, so under Wine the settings key
# keeps its mark; on Windows the SubKey is written and the mark removed.
expect_eq "Wine: the settings key keeps its mark" "$(reg_value "$SETTINGS_KEY\\q7" deleted)" "0x1"

# The tray: the one the Run entry named is stopped and deleted, the new copy registered and running.
[ ! -e "$WINEPREFIX/drive_c/orv/orvtray.exe" ] || fail "the old tray program was not deleted"
expect_eq "Run entry names the new copy" "$(reg_value "$RUN_KEY" OrvalstoneTray)" \
  'C:\orv2\orvtray.exe'
new_tray=$(started_tray_window)
expect_line "a tray program runs" "$new_tray" '^found: [0-9-]+$'
[ "$new_tray" != "$old_tray" ] || fail "the old tray program's window is still there"

# A repair from the same folder: the tray program registered again is the very file the Run
# entry names, so it is stopped, kept, and started again.
# Under Wine the queues of the first run were never made (AddPrinterW), and the keys Wine left
# for them are listed but cannot be opened (16); they are still recorded and tried again (15).
run_orvinst_expect 100 "$WINE_ADD_PRINTER_ERROR|^ *Error\\(16\\): Can\`t open printer '[^']*' - \\(Invalid printer name\\.\\)\$|^ *Error\\(14\\): Can\`t remove the printer-driver 'Orvalstone printer' - \\(Invalid parameter\\.\\)\$" install
[ -f "$ORV_DIR/orvtray.exe" ] || fail "the tray program's file is gone after a repair"
expect_eq "Run entry still names it" "$(reg_value "$RUN_KEY" OrvalstoneTray)" 'C:\orv2\orvtray.exe'
expect_line "the tray program runs after a repair" "$(started_tray_window)" '^found: [0-9-]+$'

case_end
