#!/usr/bin/env bash
# The command words on a fresh machine, each one's exit code and the procedure it runs;
# "removetray" with tray programs that obey, ignore requests or exit holding their mutex; the
# resources of the executable.
source "$(dirname "$0")/../harness.sh"
case_begin

# Dialog 101, the manifest and the version, read back by the system's resource calls.
record "$(tool orvdlg template "$ORVINST_WIN")"
expect resources

# The words that change nothing (NONE: no word at all), short words first.
for word in NONE "" bogus DEF.SET Def.set def.settings installer unin onChkDrv ONCHKDRV onInit \
  ONINIT removetray RemoveTray def.set; do
  if [ "$word" == NONE ]; then run_orvinst; else run_orvinst "$word"; fi
  record "'$word': $EXIT_CODE${LOG:+ with an error log}"
done
expect "short words"

# The tray program the Run entry names, in each of its modes: one that ignores a request ends
# a 5 s wait on its mutex and is asked again (one that never obeys holds the run for the full
# bound of 21 waits, 105 s, beyond this tier's budget). Its exit status is the number of
# requests it received (3 when it exits holding its mutex).
for mode in "" --ignore-exit=2 --exit-holding; do
  cp "$ORVINST_PACKAGE/orvtray.exe" "$ORV_DIR/"
  wine reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v OrvalstoneTray \
    /d 'C:\orv\orvtray.exe' /f >/dev/null 2>&1 || fatal "cannot write the Run entry"
  launch /dev/null 'C:\orv\orvtray.exe' $mode
  tray=$LAUNCHED
  wait_for tray_running
  run_orvinst removetray
  wait "$tray"
  record "removetray, tray ${mode:-obeying}: $EXIT_CODE, tray's exit status $?"
  expect "removetray ${mode:-obeying}"
done

# Nothing is installed: the removal finds nothing and logs no error.
for word in uninstall un UN; do
  run_orvinst "$word"
  record "'$word': $EXIT_CODE${LOG:+ with an error log}"
done
expect "uninstall words"

# Every install word runs the reinstall, also with a third word to ignore; an uninstall word
# the removal. Each: exit code, the procedure and the errors of its log. The setup copies the
# tray program again first: the removals took it.
cp "$ORVINST_PACKAGE/orvtray.exe" "$ORV_DIR/"
for words in install in INSTALL ServerInstall serverinstall "install 0 extra" UN; do
  run_orvinst $words
  record "'$words': $EXIT_CODE $(grep -m1 '^>[A-Za-z]*Install$' <<<"$LOG")" \
    "$(grep -o 'Error([0-9]*)' <<<"$LOG" | tr '\n' ' ')"
done
expect "install words"

case_end
