#!/usr/bin/env bash
# Every command word answers with its exit code; case and spelling rules of the words.
source "$(dirname "$0")/../harness.sh"
case_begin exit_codes

# Words whose work is not built yet answer 6, like an unknown word, until it lands:
# onChkDrv (then 103 or 3), onInit (200, 102 or 3), removetray (6 after removing the tray)
# and def.set (4).
not_built=6
# Short words first: the install at the end changes the machine.
cases=(
  "6|"
  "6|bogus"
  "6|DEF.SET"
  "6|Def.set"
  "6|def.settings"
  "6|installer"
  "6|unin"
  "$not_built|onChkDrv"
  "$not_built|ONCHKDRV"
  "$not_built|onInit"
  "$not_built|ONINIT"
  "6|removetray"
  "$not_built|def.set"
  "2|uninstall"
  "2|un"
  "2|UN"
  "1|install"
  "1|in"
  "1|INSTALL"
  "1|ServerInstall"
  "1|serverinstall"
)
for entry in "${cases[@]}"; do
  expected=${entry%%|*}
  word=${entry#*|}
  if [ -z "$word" ]; then run_orvinst; else run_orvinst "$word"; fi
  expect_eq "exit code of '${word:-<no word>}'" "$EXIT_CODE" "$expected"
done

run_orvinst ""
expect_eq "exit code of an empty word" "$EXIT_CODE" 6

# With four words the third is ignored and the run is the same.
run_orvinst install 0 extra
expect_eq "exit code of 'install 0 extra'" "$EXIT_CODE" 1

case_end
