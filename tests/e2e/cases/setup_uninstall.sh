#!/usr/bin/env bash
# The sample setup's uninstaller, silent: once where orvinst's uninstall fails (the files and the
# registration stay for another try), then again as Windows' list of programs runs it.
source "$(dirname "$0")/../harness.sh"
source "$(dirname "$0")/../setup_harness.sh"
setup_case_begin setup_uninstall

run_setup "$SETUP_EXE_WIN"
expect_setup_error "install" "$WINE_ADD_PRINTER_ERROR"
expect_line "the tray program runs before" "$(tray_window)" '^found: [0-9-]+$'

# Run in place ("_?=" stops the uninstaller from running a copy of itself that nobody waits for),
# so that its exit code is its own. Under Wine orvinst's uninstall ends with 100 (the driver is not
# deleted with its files, error 14; the queue Wine refused cannot be opened, error 16), where
# Windows gives 2 and the uninstaller 0.
run_setup "$UNINSTALLER_WIN" "_?=$INSTALL_WIN"
expect_setup_error "uninstall" "$WINE_DRIVER_ERROR|$WINE_REFUSED_QUEUE_ERROR"
read_state
expect_no_line "the monitor is gone" "$STATE" '^monitor: "Orvalstone:"'
expect_no_line "its port is gone" "$STATE" '^port: "Orvalstone:"'
expect_line "Wine: the driver stays registered" "$(state_lines driver)" '^"Orvalstone printer" '
expect_line "Wine: the queue it refused stays, as it cannot be opened" "$(state_lines printer)" \
  '^"Orvalstone" '
[ ! -e "$SYSTEM32/kvxmon64.dll" ] || fail "the monitor module is still in system32"
expect_eq "the Run entry is gone" "$(reg_value "$RUN_KEY" OrvalstoneTray)" ""
expect_eq "the tray program was stopped" "$(tray_window)" "found: none"
[ ! -e "$INSTALL_DIR/orvtray.exe" ] || fail "the tray program's file is still there"
for file in Setup/orvinst.exe Setup/kvxmon64.dll uninstall.exe; do
  [ -f "$INSTALL_DIR/$file" ] || fail "$file is gone after a failed uninstall"
done
expect_eq "the uninstaller stays registered" "$(reg_value "$UNINSTALL_KEY" UninstallString)" \
  "\"$UNINSTALLER_WIN\""

# Again, with what Wine refused out of the way (the driver, the refused queue), the way Windows'
# list of programs runs it: the uninstaller hands over to a copy of itself and exits at once, so
# the case waits for the folder to go.
wine_forget_driver
wine_forget_queue Orvalstone
run_setup "$UNINSTALLER_WIN"
expect_eq "the uninstaller handed over to its copy" "$EXIT_CODE" 0
for ((polls = 0; polls < 100; ++polls)); do
  [ -z "$(files_besides_logs)" ] && break
  sleep 0.2
done
left=$(files_besides_logs)
[ -z "$left" ] || fail "files are left: $(tr '\n' ' ' <<<"$left")"
expect_eq "the registration is gone" "$(reg_value "$UNINSTALL_KEY" UninstallString)" ""

case_end
