#!/usr/bin/env bash
# Every command word answers with its exit code; case and spelling rules of the words. The word
# must also take its own path: install words run the reinstall, uninstall words the removal.
source "$(dirname "$0")/../harness.sh"
case_begin exit_codes

# On a fresh prefix: no package queue ("onChkDrv" false: 3), no pending module and no default
# printer ("onInit": 102), nothing to remove. Short words first: the install at the end changes
# the machine.
cases=(
  "6|"
  "6|bogus"
  "6|DEF.SET"
  "6|Def.set"
  "6|def.settings"
  "6|installer"
  "6|unin"
  "3|onChkDrv"
  "3|ONCHKDRV"
  "102|onInit"
  "102|ONINIT"
  "6|removetray"
  "6|RemoveTray"
  "4|def.set"
)
for entry in "${cases[@]}"; do
  expected=${entry%%|*}
  word=${entry#*|}
  if [ -z "$word" ]; then run_orvinst; else run_orvinst "$word"; fi
  expect_eq "exit code of '${word:-<no word>}'" "$EXIT_CODE" "$expected"
done

run_orvinst ""
expect_eq "exit code of an empty word" "$EXIT_CODE" 6

read_state
expect_no_line "the short words changed no spooler object" "$STATE" \
  '^(printer|driver): |^monitor: "Orvalstone:"'
expect_eq "no default printer was made" "$(state_lines default-printer)" none

# Nothing of the package is installed: the removal finds nothing and logs no error.
for word in uninstall un UN; do
  run_orvinst_expect 2 '' "$word"
done

# Every install word runs the reinstall. Under Wine each one ends with 100: Wine's AddPrinterW
# refuses the queue the installer adds (null datatype, 1801; see harness.sh), and from the
# second run on two more of Wine's deviations are logged: the half-made queue it leaves cannot be
# opened for deletion (error 16, 1801), and DeletePrinterDriverExW refuses the flag that deletes
# the driver's files (error 14, 87). On Windows each of these runs ends with 1.
wine_errors="$WINE_ADD_PRINTER_ERROR|^ *Error\\(16\\): Can\`t open printer 'Orvalstone' - \\(Invalid printer name\\.\\)\$|^ *Error\\(14\\): Can\`t remove the printer-driver 'Orvalstone printer' - \\(Invalid parameter\\.\\)\$"
for word in install in INSTALL ServerInstall serverinstall; do
  run_orvinst_expect 100 "$wine_errors" "$word"
  expect_line "$word: the reinstall ran" "$LOG" '^>ReInstall$'
done

# With four words the third is ignored and the run is the same.
run_orvinst_expect 100 "$wine_errors" install 0 extra
expect_line "'install 0 extra': the reinstall ran" "$LOG" '^>ReInstall$'

# The uninstall words take the removal path, not the reinstall.
run_orvinst_log UN
expect_line "UN: the removal ran" "$LOG" '^>UnInstall$'
expect_no_line "UN: no reinstall" "$LOG" '^>ReInstall$'

case_end
