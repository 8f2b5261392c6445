#!/usr/bin/env bash
# Two runs started at once, as a deployment agent's retry, a double click or an upgrade's
# uninstall beside a new install make them: each pair ends as the same two runs one after the
# other do, in one of the two orders, with the same exit codes and no error line of its own.
# The runs are on hidden window stations, as under a deployment agent: no dialog waits there.
source "$(dirname "$0")/../harness.sh"
source "$E2E_HERE/pairs.sh"
case_begin
LOGS=$SETUP_DIR/Logs

check_pair install install install
check_pair install install uninstall

case_end
