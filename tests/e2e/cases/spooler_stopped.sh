#!/usr/bin/env bash
# Install with the spooler stopped: the installer starts it and the spooler's start logs no
# error. (The run itself ends with 100 under Wine, whose AddPrinterW refuses the package queue:
# see harness.sh. On Windows it ends with 1.)
source "$(dirname "$0")/../harness.sh"
case_begin spooler_stopped

spooler_stop
read_state
expect_eq "spooler stopped before the run" "$(state_lines spooler-state)" 1

run_orvinst_expect 100 "$WINE_ADD_PRINTER_ERROR" install
expect_line "the spooler check started it" "$LOG" '^>Check Spooler$'
read_state
expect_eq "spooler running after the run" "$(state_lines spooler-state)" 4

case_end
