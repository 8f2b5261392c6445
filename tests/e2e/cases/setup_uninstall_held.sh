#!/usr/bin/env bash
# The sample setup's uninstaller, silent, while the monitor module is held open (as the spooler
# holds it on Windows): its deletion waits for a restart. The setup run again before that restart
# refuses to install; after it, it installs.
source "$(dirname "$0")/../harness.sh"
source "$(dirname "$0")/../setup_harness.sh"
setup_case_begin setup_uninstall_held

run_setup "$SETUP_EXE_WIN"
expect_setup_error "install" "$WINE_ADD_PRINTER_ERROR"
start_helper "$CASE_DIR/hold.out" "$ORVCHECK_WIN" hold 'C:\windows\system32\kvxmon64.dll'
holder=$HELPER_PID
wait_for_line "$CASE_DIR/hold.out" '^held: ' | grep -q '^held: yes$' || fatal "cannot hold the module"
# Without what Wine refuses (the driver with its files, the queue it refused: see
# setup_harness.sh) orvinst's uninstall ends as on Windows: 101, the module left to the restart.
wine_forget_driver
wine_forget_queue Orvalstone

# In place, so that the exit code is the uninstaller's own (see setup_uninstall.sh). The launcher
# reads the whole code; Wine gives a Unix caller only its low 8 bits (3010 reads 194).
run_setup "$UNINSTALLER_WIN" "_?=$INSTALL_WIN"
expect_eq "the uninstaller's exit code for orvinst's 101" "$EXIT_CODE" 3010
expect_eq "no error log came up" "$LOG" ""
expect_line "its message asks for the restart" "$SAID" '^Orvalstone is removed\. Restart Windows to finish'
expect_line "the held module waits for the restart" \
  "$(reg_value "$SESSION_KEY" PendingFileRenameOperations)" '\\C:\\windows\\system32\\kvxmon64\.dll\\0'
read_state
expect_no_line "the monitor is gone" "$STATE" '^monitor: "Orvalstone:"'
expect_eq "the Run entry is gone" "$(reg_value "$RUN_KEY" OrvalstoneTray)" ""
expect_eq "the tray program was stopped" "$(tray_window)" "found: none"
left=$(files_besides_logs | grep '^\./Setup/')
[ -z "$left" ] || fail "files are left in Setup: $(tr '\n' ' ' <<<"$left")"
[ ! -e "$INSTALL_DIR/orvtray.exe" ] || fail "the tray program's file is still there"
expect_eq "the registration is gone" "$(reg_value "$UNINSTALL_KEY" UninstallString)" ""

# The setup again before the restart: onInit answers 200, the setup asks for the restart first
# and changes nothing. Run by wine64 itself, whose Unix caller reads the low 8 bits of 3017.
rm -f "$SETUP_LOG"
(cd "$SETUP_DIR" && timeout -k 5 $((RUN_TIMEOUT_MS / 1000)) "$WINE_DIR/wine64" "$SETUP_EXE_WIN" /S \
  "/LOG=$SETUP_LOG_WIN" </dev/null >/dev/null 2>&1)
expect_eq "the setup's exit code 3017 as Wine gives it to a Unix caller" "$?" $((3017 % 256))
expect_line "its message asks for a restart first" "$(tr -d '\r' <"$SETUP_LOG")" \
  '^A part of Orvalstone removed earlier is only deleted when Windows restarts\. Restart Windows first'
read_state
expect_no_line "no monitor was registered" "$STATE" '^monitor: "Orvalstone:"'
[ -z "$(files_besides_logs | grep '^\./Setup/')" ] || fail "the setup copied files before the restart"
expect_eq "no Run entry" "$(reg_value "$RUN_KEY" OrvalstoneTray)" ""

# The restart carries the deletion out; then the setup installs.
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
wine wineboot -r >/dev/null 2>&1
[ ! -e "$SYSTEM32/kvxmon64.dll" ] || fail "the restart did not delete the module"
run_setup "$SETUP_EXE_WIN"
expect_setup_error "install after the restart" "$WINE_ADD_PRINTER_ERROR"
expect_package_installed Orvalstone

case_end
