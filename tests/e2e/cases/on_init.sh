#!/usr/bin/env bash
# "onInit": 200 while a package module is still waiting for a start-up operation, else what the
# default printer says (3: a package queue, 102: another or none). Pending deletions of files that
# exist are carried out first; the registry value itself is never changed.
source "$(dirname "$0")/../harness.sh"
case_begin on_init

install_package
add_package_queue "My Queue" q7 "the comment" "room 5" default
monitor_win='\??\C:\windows\system32\kvxmon64.dll'

run_orvinst onInit
expect_eq "no pending operation, default is a package queue" "$EXIT_CODE" 3

# A pending deletion of the installed monitor module, which nothing holds (Wine loads a monitor
# module only into the process that registered it): carried out now, so nothing is pending.
set_pending_renames "$monitor_win" ""
pending_before=$(reg_value "$SESSION_KEY" PendingFileRenameOperations)
expect_line "the value names the module" "$pending_before" '^\\\?\?\\C:\\windows\\system32\\kvxmon64\.dll\\0'
run_orvinst onInit
expect_eq "a pending deletion it could carry out" "$EXIT_CODE" 3
[ ! -e "$SYSTEM32/kvxmon64.dll" ] || fail "the pending deletion was not carried out"
expect_eq "the value is left as it was" "$(reg_value "$SESSION_KEY" PendingFileRenameOperations)" \
  "$pending_before"

# The same deletion while another process holds the module open: still pending after both
# passes (and the two spooler restarts between them).
cp "$SETUP_DIR/kvxmon64.dll" "$SYSTEM32/kvxmon64.dll"
start_helper "$CASE_DIR/hold.out" "$ORVCHECK_WIN" hold 'C:\windows\system32\kvxmon64.dll'
holder=$HELPER_PID
wait_for_line "$CASE_DIR/hold.out" '^held: ' | grep -q '^held: yes$' || fatal "cannot hold the module"
run_orvinst onInit
expect_eq "a pending deletion of a held monitor module" "$EXIT_CODE" 200
[ -e "$SYSTEM32/kvxmon64.dll" ] || fail "the held module is gone"
read_state
expect_eq "the spooler runs again after its restarts" "$(state_lines spooler-state)" 4
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null

# A pending rename is never carried out: an existing source named like the UI module, in
# capitals, keeps "onInit" at 200 without anything held.
cp "$SETUP_DIR/kvxui64.dll" "$ORV_DIR/KVXUI64.DLL"
set_pending_renames '\??\C:\orv\KVXUI64.DLL' '\??\C:\orv\renamed.dll'
run_orvinst onInit
expect_eq "a pending rename of a package module" "$EXIT_CODE" 200
[ -e "$ORV_DIR/KVXUI64.DLL" ] || fail "the source of a pending rename was deleted"

# Pending deletions of other files only, and the default moved off the package: 102.
cp "$SETUP_DIR/kvxhelp.chm" "$ORV_DIR/other.dat"
set_pending_renames '\??\C:\orv\other.dat' ""
wine reg delete 'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows' /v Device /f \
  >/dev/null 2>&1
read_state
expect_eq "no default printer now" "$(state_lines default-printer)" none
run_orvinst onInit
expect_eq "no pending module, no default printer" "$EXIT_CODE" 102
[ ! -e "$ORV_DIR/other.dat" ] || fail "the other pending deletion was not carried out"

case_end
