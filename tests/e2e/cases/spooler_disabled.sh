#!/usr/bin/env bash
# Install with the spooler disabled: the start fails, error 4 is logged at depth 1, the log
# dialog shows it under the error title, and the run ends with 100 however the dialog is closed.
source "$(dirname "$0")/../harness.sh"
case_begin spooler_disabled

spooler_disable
for close in ok cancel; do
  run_orvinst_start install
  log=$(wine "$ORVDLG_WIN" read "$ERROR_TITLE" 60000 "$close" 2>/dev/null | tr -d '\r')
  run_orvinst_wait
  expect_eq "[$close] exit code" "$EXIT_CODE" 100
  expect_line "[$close] dialog found by its title" "$log" "^title: $ERROR_TITLE\$"
  expect_line "[$close] dialog closed" "$log" '^closed: yes$'
  expect_line "[$close] no owner" "$log" '^owner: none$'
  expect_line "[$close] first log line" "$log" '^text: Orvalstone 2300$'
  expect_line "[$close] check header at depth 0" "$log" '^text: >Check Spooler$'
  expect_line "[$close] error 4 at depth 1" "$log" "^text:   Error\\(4\\): Can't start the spooler( - \\(.*\\))?\$"
  # As created, the edit control has traded the template's WS_BORDER for WS_EX_CLIENTEDGE
  # (Wine's edit control does so on creation; the template itself is checked in resources.sh).
  expect_line "[$close] the log box" "$log" \
    '^control: 1001 class=Edit style=0x502108C4 exstyle=0x00000204$'
  expect_line "[$close] the Close button" "$log" '^control: 1 class=Button style=0x50010001'
done

case_end
