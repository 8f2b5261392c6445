#!/usr/bin/env bash
# Install with the spooler stopped: the installer starts it and the run ends without an error.
source "$(dirname "$0")/../harness.sh"
case_begin spooler_stopped

spooler_stop
read_state
expect_eq "spooler stopped before the run" "$(state_lines spooler-state)" 1

run_orvinst install
expect_eq "exit code" "$EXIT_CODE" 1
read_state
expect_eq "spooler running after the run" "$(state_lines spooler-state)" 4

case_end
