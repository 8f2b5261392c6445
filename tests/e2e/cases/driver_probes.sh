#!/usr/bin/env bash
# "onChkDrv" reads the version of the installed driver module of the first package queue (true
# above 2206: 103, else 3); "def.set" makes the first package queue the default printer (4).
source "$(dirname "$0")/../harness.sh"
case_begin driver_probes

# The setup's driver module of build 2206 is the one installed.
cp "$ORVINST_PACKAGE/variants/driver-2206/kvxdrv64.dll" "$SETUP_DIR/kvxdrv64.dll"
install_package
installed_win='C:\windows\system32\spool\drivers\x64\3\kvxdrv64.dll'
expect_eq "the installed driver module" \
  "$(wine "$ORVCHECK_WIN" version "$installed_win" | tr -d '\r')" "version: 1.0.0.2206"

run_orvinst onChkDrv
expect_eq "no package queue" "$EXIT_CODE" 3

# Two package queues; the second in enumeration order is the default printer.
add_package_queue Alpha qa "" "" plain
add_package_queue Beta qb "" "" default
read_state
expect_eq "enumeration order" "$(state_lines printer | cut -d'"' -f2 | tr '\n' ' ')" "Alpha Beta "
expect_eq "the default before" "$(state_lines default-printer)" '"Beta"'

run_orvinst onChkDrv
expect_eq "driver module 2206" "$EXIT_CODE" 3

# The installed module replaced by one of build 2207 (the version is read from the installed
# file, not from the setup's copy).
cp "$ORVINST_PACKAGE/variants/driver-2207/kvxdrv64.dll" "$DRIVERS_X64/3/kvxdrv64.dll"
run_orvinst onChkDrv
expect_eq "driver module 2207" "$EXIT_CODE" 103
run_orvinst ONCHKDRV
expect_eq "the word in capitals" "$EXIT_CODE" 103

run_orvinst def.set
expect_eq "def.set" "$EXIT_CODE" 4
read_state
expect_eq "the first package queue became the default" "$(state_lines default-printer)" '"Alpha"'
expect_eq "the queues are untouched" "$(state_lines printer | cut -d'"' -f2 | tr '\n' ' ')" \
  "Alpha Beta "

case_end
