#!/usr/bin/env bash
# Uninstall an installed package with a queue of its own: tray program, queue, monitor and its
# module, Run entry all gone; only what Wine refuses to remove stays.
source "$(dirname "$0")/../harness.sh"
case_begin uninstall

install_package
add_package_queue "My Queue" q7 "the comment" "room 5" default
expect_line "the tray program runs before" "$(started_tray_window)" '^found: [0-9-]+$'

# On Windows this run ends with 2, or with 101 if the spooler still held the monitor module when
# it was deleted (it is then scheduled for deletion at restart). Under Wine it ends with 100:
# DeletePrinterDriverExW refuses the flag that deletes the driver's files with 87 (wine-notes
# table), logged as error 14 after the spooler restart. Nothing is left for a restart: Wine loads
# the monitor module into the process that registered it (the install, which has ended), so its
# copy in system32 is free and deleted at once.
run_orvinst_expect 100 \
  "^ *Error\\(14\\): Can\`t remove the printer-driver 'Orvalstone printer' - \\(Invalid parameter\\.\\)\$" \
  uninstall
expect_line "the removal ran" "$LOG" '^>UnInstall$'
expect_line "the queue was deleted" "$LOG" '^    >DeletePrinter\(My Queue\)$'
expect_line "the driver removal was retried after a spooler restart" "$LOG" \
  '^    >Restart Spooler$'
expect_line "the monitor was removed" "$LOG" '^    Monitor was removed :\)$'
expect_no_line "no monitor version check on uninstall" "$LOG" 'compatible'
expect_no_line "nothing to retry" "$LOG" 'DeleteFile-try'

read_state
expect_eq "spooler running" "$(state_lines spooler-state)" 4
expect_no_line "the monitor is gone" "$STATE" '^monitor: "Orvalstone:"'
expect_no_line "its port is gone" "$STATE" '^port: "Orvalstone:"'
[ ! -e "$SYSTEM32/kvxmon64.dll" ] || fail "the monitor module is still in system32"
expect_eq "no queue is left" "$(state_lines printer)" ""
expect_eq "Wine: the driver stays registered" "$(state_lines driver | cut -d' ' -f1-3)" \
  '"Orvalstone printer" version=3'
expect_eq "the Run entry is gone" "$(reg_value "$RUN_KEY" OrvalstoneTray)" ""
[ ! -e "$ORV_DIR/orvtray.exe" ] || fail "the tray program's executable was not deleted"
expect_eq "the tray program was stopped" "$(tray_window)" "found: none"
expect_eq "nothing scheduled for restart" \
  "$(reg_value "$SESSION_KEY" PendingFileRenameOperations)" ""

case_end
