#!/usr/bin/env bash
# Two whole sample setups started at once (a second one a moment after the first, as in the
# report of a tray program left running without its Run entry), and a setup beside its
# uninstaller: each pair ends as the two one after the other do. Between a setup's orvinst runs
# and while it copies its files only the setup's own lock keeps the other out.
source "$(dirname "$0")/../harness.sh"
source "$E2E_HERE/pairs.sh"
case_begin
LOGS=$INSTALL_DIR/Setup/Logs

check_pair setup setup setup
check_pair setup setup unsetup

case_end
