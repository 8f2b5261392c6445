#!/usr/bin/env bash
# The MSI package with the real orvinst.exe: under Wine its install ends with 100 (error 15,
# README.md), so the package's first install fails and is rolled back; the next one, over a
# queue of the user's, fails the same way and keeps the queue in orvinst's record.
source "$(dirname "$0")/../harness.sh"
case_begin
MSI_BUILDS=2300
SAVED='HKLM\Software\Vantrel Software KFT\Orvalstone\SavedQueues'
# The error lines of orvinst's newest log file, which the package's log names.
log_errors() {
  local newest
  newest=$(ls -d "$INSTALL_DIR"/Setup/Logs/* | sort | tail -n 1)
  record "$(tr -d '\r' <"$newest" | grep -o 'Error(.*' | sed 's/^/log: /')"
}

msiexec /i 'C:\orv\dist\orvalstone.msi'
log_errors
expect "first install"

wine_forget 'Printers\Orvalstone'
add_package_queue "My Queue" q7 "the comment" "room 5" default
msiexec /i 'C:\orv\dist\orvalstone.msi'
log_errors
record "saved queues: $(wine reg query "$SAVED" /s /v Queue 2>/dev/null | tr -d '\r' | grep -o 'REG.*')"
expect "install over a queue"

case_end
