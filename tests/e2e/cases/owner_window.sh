#!/usr/bin/env bash
# The third word names the dialog's owner when it is a window; a number that is no window and a
# hexadecimal form (read as 0) give a dialog without owner.
source "$(dirname "$0")/../harness.sh"
case_begin owner_window

# The spooler's failure to start is the error that brings up the dialog. (Disabling it restarts
# the prefix, so it comes before the owner window is made.)
spooler_disable

start_helper "$CASE_DIR/owner.out" "$ORVCHECK_WIN" window "Setup program"
owner=$(wait_for_line "$CASE_DIR/owner.out" '^window: [0-9-]+') || fatal "no owner window"
owner=${owner#window: }
note "owner window $owner"

check_owner() {
  local word=$1 expected=$2
  run_orvinst_start install "$word"
  local log
  log=$(wine "$ORVDLG_WIN" read "$ERROR_TITLE" 60000 ok 2>/dev/null | tr -d '\r')
  run_orvinst_wait
  expect_eq "'$word': exit code" "$EXIT_CODE" 100
  expect_line "'$word': owner" "$log" "^owner: $expected\$"
}

check_owner "$owner" "$owner"
check_owner 0x1A2B none
check_owner 123456 none

case_end
