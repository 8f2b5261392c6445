# Pairs of runs started at once, sourced by the concurrent* cases after harness.sh: `check_pair
# START WORD1 WORD2` runs the pair at once from the state START (a word run first) and checks
# it against the two orders run one after the other from the same state: the machine, the
# exit codes and the error lines of orvinst's log files, and that its runs' log spans do not
# overlap. A word is an orvinst command word, run on a hidden window station as under a
# deployment agent, or a whole sample setup, silent on the desktop, where an install starts
# the tray program: "setup", or "unsetup", its uninstaller as Windows runs it (from a copy,
# naming the install folder).

# The launcher's words for WORD, into LAUNCH.
launch_words() {
  case $1 in
    setup) LAUNCH=(run "$RUN_TIMEOUT_MS" 'C:\orv\dist\orvalstone-setup.exe /S') ;;
    unsetup)
      cp "$INSTALL_DIR/uninstall.exe" "$ORV_DIR/un.exe" || fatal "no uninstaller to run"
      LAUNCH=(run "$RUN_TIMEOUT_MS" "C:\\orv\\un.exe /S _?=$INSTALL_WIN")
      ;;
    *) LAUNCH=(runhidden 120000 "$(command_line "$ORVINST_WIN" "$1")") ;;
  esac
}
run_word() { launch_words "$1" && launcher "$1" "${LAUNCH[@]}"; }

# The machine without the installer's log files, whose number grows with every run.
state() { machine | grep -v '^file: setup log '; }
# The error lines of every log file so far in LOGS (the case sets it: where the orvinst.exe it
# runs writes them), sorted; and the files' names, to tell new ones.
log_names() { ls "$LOGS" 2>/dev/null | sort; }
new_errors() {
  local name
  comm -13 <(echo "$1") <(log_names) | while IFS= read -r name; do
    cat "$LOGS/$name" 2>/dev/null
  done | tr -d '\r' | grep -o 'Error([0-9]*).*' | sort
}
# Runs WORD1 then WORD2 one after the other; sets CODES ("a b", sorted) and ERRORS.
one_after_other() {
  local before
  before=$(log_names)
  run_word "$1" && local first=$EXIT_CODE
  run_word "$2"
  CODES=$(printf '%s\n' "$first" "$EXIT_CODE" | sort | tr '\n' ' ')
  ERRORS=$(new_errors "$before")
}
# Starts WORD1 and WORD2 at the same moment and waits for both, closing orvinst's log dialogs
# on the desktop as a user would; sets CODES and ERRORS.
both_at_once() {
  local before a=$CASE_DIR/a.$RANDOM b=$CASE_DIR/b.$RANDOM pa pb
  before=$(log_names)
  launch_words "$1" && launch "$a" "$ORVCHECK_WIN" "${LAUNCH[@]}"
  pa=$LAUNCHED
  launch_words "$2" && launch "$b" "$ORVCHECK_WIN" "${LAUNCH[@]}"
  pb=$LAUNCHED
  while kill -0 "$pa" 2>/dev/null || kill -0 "$pb" 2>/dev/null; do
    if [[ $1$2 == *setup* ]]; then
      tool orvdlg read "$ERROR_TITLE" 300 ok >/dev/null
    else
      sleep 0.3
    fi
  done
  wait "$pa" "$pb"
  local codes=() out line
  for out in "$a" "$b"; do
    line=$(grep -m1 '^exit: 0x' "$out" | tr -d '\r')
    [ -n "$line" ] || fatal "$1 + $2: a run gave no exit code ($(tr -d '\r' <"$out"))"
    codes+=($((16#${line#exit: 0x})))
  done
  CODES=$(printf '%s\n' "${codes[@]}" | sort | tr '\n' ' ')
  ERRORS=$(new_errors "$before")
  # One run's work begins when the other's has ended: their logs' spans (whole seconds) do not
  # overlap.
  local spans
  spans=$(comm -13 <(echo "$before") <(log_names) | while IFS= read -r out; do
    tr -d '\r' <"$LOGS/$out" |
      sed -n 's/.*, started \(.*\) UTC$/\1/p; s/.*, ended \(.*\) UTC$/\1/p' | tr '\n' '|'
    echo
  done | sort)
  [ "$(wc -l <<<"$spans")" -eq 2 ] || fail "$1 + $2: not two log files ($spans)"
  local first_end second_start
  first_end=$(sed -n '1s/^[^|]*|\([^|]*\)|$/\1/p' <<<"$spans")
  second_start=$(sed -n '2s/^\([^|]*\)|.*$/\1/p' <<<"$spans")
  [[ ! $second_start < $first_end ]] || fail "$1 + $2 overlapped: $(tr '\n' ' ' <<<"$spans")"
}
check_pair() {
  local start=$1 orders=("$2 $3") states=() codes=() errors=() order
  [ "$2" == "$3" ] || orders+=("$3 $2")
  for order in "${orders[@]}"; do
    run_word "$start"
    # shellcheck disable=SC2086
    one_after_other $order
    states+=("$(state)") codes+=("$CODES") errors+=("$ERRORS")
  done
  run_word "$start"
  both_at_once "$2" "$3"
  local found
  found=$(state)
  for order in "${!orders[@]}"; do
    if [ "$found" == "${states[$order]}" ] && [ "$CODES" == "${codes[$order]}" ] &&
      [ "$ERRORS" == "${errors[$order]}" ]; then
      note "ok: $2 + $3 at once ended as one after the other"
      return
    fi
  done
  fail "$2 + $3 at once (exit codes $CODES) ended as neither order (exit codes ${codes[*]}):"
  diff -u <(echo "${states[0]}") <(echo "$found") | tail -n +3 | sed 's/^/    /'
  diff -u <(echo "${errors[0]}") <(echo "$ERRORS") | tail -n +3 | sed 's/^/    /'
}
