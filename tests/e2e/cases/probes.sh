#!/usr/bin/env bash
# The probes on an installed package. "onChkDrv": the version of the installed driver module of
# the first package queue (103 above 2206, else 3); "def.set" makes the first package queue the
# default printer (4); "onInit": 200 while a package module waits for a start-up operation, else
# what the default printer says (3: a package queue, 102: another or none), pending deletions of
# files that exist carried out first and the registry value itself left as it is.
source "$(dirname "$0")/../harness.sh"
case_begin

probe() { run_orvinst "$1" && record "$2: $1 $EXIT_CODE"; }
# PendingFileRenameOperations as the system keeps it: pairs of source and target ("" for a
# deletion), each with its NUL, and the closing NUL (ASCII paths only).
set_pending_renames() {
  local data
  data=$( (printf '%s\0' "$@" && printf '\0') | od -An -tx1 -v | tr -s ' \n' , |
    sed 's/^,//; s/,$//')
  printf 'REGEDIT4\r\n\r\n[%s]\r\n"PendingFileRenameOperations"=hex(7):%s\r\n' \
    'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager' "$data" >"$ORV_DIR/p.reg"
  wine reg import 'C:\orv\p.reg' >/dev/null 2>&1 || fatal "cannot write the pending renames"
}

# Installed with the driver module of build 2206 (Wine refuses the queue: README.md).
cp "$ORVINST_PACKAGE/variants/driver-2206/kvxdrv64.dll" "$SETUP_DIR/"
run_orvinst install
wine_forget 'Printers\Orvalstone'
probe onChkDrv "no package queue"
# Two package queues; the second in enumeration order is the default printer.
add_package_queue Alpha qa "" "" plain
add_package_queue Beta qb "" "" default
record "before: $(tool orvcheck state | grep '^default-printer')"
probe onChkDrv "driver 2206"
# The version is read from the installed file, not from the setup's copy.
cp "$ORVINST_PACKAGE/variants/driver-2207/kvxdrv64.dll" "$SYSTEM32/spool/drivers/x64/3/"
probe onChkDrv "driver 2207"
probe ONCHKDRV "driver 2207"
probe def.set "Alpha made the default"
expect drivers

probe onInit "nothing pending"
# A pending deletion of the monitor module, which nothing holds (Wine loads a monitor module
# only into the process that registered it): carried out now.
set_pending_renames '\??\C:\windows\system32\kvxmon64.dll' ""
probe onInit "the free monitor module pending deletion"
expect "free module"

# The same while another process holds the module: still pending after both passes (and the two
# spooler restarts between them).
cp "$SETUP_DIR/kvxmon64.dll" "$SYSTEM32/"
helper hold 'C:\windows\system32\kvxmon64.dll'
[ "$HELPER_LINE" == "held: yes" ] || fatal "cannot hold the module: $HELPER_LINE"
probe onInit "the held monitor module pending deletion"
kill "$LAUNCHED"
expect "held module"

# A pending rename is never carried out: a source named like the UI module, in capitals.
cp "$SETUP_DIR/kvxui64.dll" "$ORV_DIR/KVXUI64.DLL"
set_pending_renames '\??\C:\orv\KVXUI64.DLL' '\??\C:\orv\renamed.dll'
probe onInit "a package module pending rename"
# Pending deletions of other files only, and no default printer.
cp "$SETUP_DIR/kvxhelp.chm" "$ORV_DIR/other.dat"
set_pending_renames '\??\C:\orv\other.dat' ""
wine reg delete 'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows' /v Device /f \
  >/dev/null 2>&1
probe onInit "another file pending deletion, no default printer"
record "in C:\\orv: $(ls "$ORV_DIR" | tr '\n' ' ')"
expect renames

case_end
