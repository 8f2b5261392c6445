#!/usr/bin/env bash
# The same sample setup run twice in a row, silent: the second run is a repair, and leaves the
# tray program running with its file in place.
source "$(dirname "$0")/../harness.sh"
source "$(dirname "$0")/../setup_harness.sh"
setup_case_begin setup_repair

# Both end with 0 on Windows, with 1603 under Wine (orvinst's 100, harness.sh). The repair also
# meets the queue Wine refused in the first run, which it lists but cannot open (error 16), and
# Wine's refusal to delete the driver with its files (error 14).
run_setup "$SETUP_EXE_WIN"
expect_setup_error "install" "$WINE_ADD_PRINTER_ERROR"
first_tray=$(tray_window)
run_setup "$SETUP_EXE_WIN"
expect_setup_error "repair" "$WINE_ERRORS"
expect_package_installed Orvalstone
[ "$(tray_window)" != "$first_tray" ] || fail "the first run's tray program still runs"
cmp -s "$INSTALL_DIR/orvtray.exe" "$ORVINST_PACKAGE/orvtray.exe" || fail "the tray program's file differs"
expect_eq "without the switch no default printer was made" "$(state_lines default-printer)" none

case_end
