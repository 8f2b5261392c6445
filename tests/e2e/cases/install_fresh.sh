#!/usr/bin/env bash
# Install on a fresh prefix: monitor, port, driver with its files, the queue "Orvalstone", the
# Run entry and the running tray program, each read back from the machine.
source "$(dirname "$0")/../harness.sh"
case_begin install_fresh

# Windows ends this run with 1. Under Wine it ends with 100: AddPrinterW refuses the queue's null
# datatype with 1801 (wine-notes table), which is the run's only error.
run_orvinst_expect 100 "$WINE_ADD_PRINTER_ERROR" install
expect_line "the monitor was registered" "$LOG" '^    >AddMonitor$'
expect_line "its registration succeeded" "$LOG" '^      AddMonitor - OK :\)$'
expect_line "the driver was registered" "$LOG" '^      OK :\)$'
expect_line "the queue was attempted once, under its package name" "$LOG" '^    >AddPrinter\(Orvalstone\)$'
expect_eq "the queue was attempted once only" "$(grep -c '>AddPrinter(' <<<"$LOG")" 1
expect_no_line "nothing left for deletion: no retry" "$LOG" 'DeleteFile-try'

read_state
expect_eq "spooler running" "$(state_lines spooler-state)" 4
# Wine reports "Windows NT x86" as every monitor's environment (wine-notes table).
expect_line "monitor registered with its module" "$STATE" \
  '^monitor: "Orvalstone:" dll="kvxmon64.dll" '
expect_line "its port is listed" "$STATE" '^port: "Orvalstone:" monitor="Orvalstone:"$'
[ -f "$SYSTEM32/kvxmon64.dll" ] || fail "the monitor module is not in system32"
version=$(wine "$ORVCHECK_WIN" version 'C:\windows\system32\kvxmon64.dll' | tr -d '\r')
expect_eq "the package's monitor module was copied" "$version" "version: 1.0.0.2300"
cmp -s "$SYSTEM32/kvxmon64.dll" "$SETUP_DIR/kvxmon64.dll" || fail "system32 holds another module"

# Every field the installer sets. Wine stores no manufacturer or provider (wine-notes table):
# they read back null here, where Windows gives "Vantrel Software Kft.".
expect_eq "the driver" "$(state_lines driver)" \
  '"Orvalstone printer" version=3 environment="Windows x64" path="kvxdrv64.dll" data="kvxdrv64.dll" config="kvxui64.dll" help="kvxhelp.chm" monitor="" datatype="" manufacturer=null provider=null'
for file in kvxdrv64.dll kvxui64.dll kvxhelp.chm; do
  cmp -s "$DRIVERS_X64/3/$file" "$SETUP_DIR/$file" || fail "$file was not installed in x64\\3"
  [ ! -e "$DRIVERS_X64/$file" ] || fail "the staged copy of $file was left in x64"
done

# The queue: Wine keeps what AddPrinterW was given in a key it cannot open, so the fields the
# installer set are read from there.
expect_line "one queue, on the package's port and driver" "$(state_lines printer)" \
  '^"Orvalstone" port="Orvalstone:" driver="Orvalstone printer" processor="WinPrint" comment="" '
expect_eq "only that queue" "$(state_lines printer | wc -l)" 1
expect_eq "its port" "$(reg_value "$PRINTERS_KEY\\Orvalstone" Port)" "Orvalstone:"
expect_eq "its driver" "$(reg_value "$PRINTERS_KEY\\Orvalstone" 'Printer Driver')" \
  "Orvalstone printer"
expect_eq "its print processor" "$(reg_value "$PRINTERS_KEY\\Orvalstone" 'Print Processor')" \
  "WinPrint"
expect_eq "not made the default printer" "$(state_lines default-printer)" none

expect_eq "Run entry" "$(reg_value "$RUN_KEY" OrvalstoneTray)" 'C:\orv\orvtray.exe'
expect_line "the tray program is running" "$(started_tray_window)" '^found: [0-9-]+$'
expect_eq "nothing scheduled for restart" \
  "$(reg_value "$SESSION_KEY" PendingFileRenameOperations)" ""

case_end
