#!/usr/bin/env bash
# The sample setup of an earlier build (monitor 2072, driver 2206), then the current one over it,
# silent: the upgrade replaces the monitor, which is too old to keep, and the driver, and makes the
# user's queue again.
source "$(dirname "$0")/../harness.sh"
source "$(dirname "$0")/../setup_harness.sh"
setup_case_begin setup_upgrade

run_setup "$OLD_SETUP_EXE_WIN"
expect_setup_error "the earlier build" "$WINE_ADD_PRINTER_ERROR"
expect_eq "its monitor module" "$(file_version 'C:\windows\system32\kvxmon64.dll')" \
  "version: 1.0.0.2072"
expect_eq "its driver module" \
  "$(file_version 'C:\windows\system32\spool\drivers\x64\3\kvxdrv64.dll')" "version: 1.0.0.2206"
# The user's queue of the earlier build, the default printer, in place of the one Wine refused.
wine_forget_queue Orvalstone
add_package_queue "My Queue" q7 "the comment" "room 5" default

# On Windows this ends with 0; under Wine with 1603 (orvinst's 100: AddPrinterW refuses the queue,
# and the driver is not deleted with its files, error 14).
run_setup "$SETUP_EXE_WIN" /DEFAULTPRINTER
expect_setup_error "the upgrade" "$WINE_ADD_PRINTER_ERROR|$WINE_DRIVER_ERROR"
expect_line "onChkDrv: driver 2206, an upgrade" "$SAID" '^Installing Orvalstone: .* an upgrade'
expect_line "the monitor of build 2072 was not kept" "$LOG" '^ *Monitor was removed'
expect_line "the user's queue was saved and deleted" "$LOG" '^ *>DeletePrinter\(My Queue\)$'
expect_package_installed "My Queue"
expect_no_line "the user's queue was made again, not a new one" "$(state_lines printer)" '^"Orvalstone"'
expect_eq "the setup registers the current build" "$(reg_value "$UNINSTALL_KEY" DisplayVersion)" \
  "1.0.0.2300"

case_end
