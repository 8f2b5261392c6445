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
# The names of the log files in LOGS (the case sets it: where the orvinst.exe it runs writes
# them), to tell new ones; those made since the names BEFORE.
log_names() { ls "$LOGS" 2>/dev/null | sort; }
new_logs() { comm -13 <(echo "$1") <(log_names); }
# Sets CODES (the exit codes CODE..., sorted: "a b ") and ERRORS (the error lines of the log
# files made since the names BEFORE, sorted).
outcome() {
  CODES=$(printf '%s\n' "${@:2}" | sort | tr '\n' ' ')
  ERRORS=$(new_logs "$1" | while IFS= read -r name; do cat "$LOGS/$name" 2>/dev/null; done |
    tr -d '\r' | grep -o 'Error([0-9]*).*' | sort)
}
# Runs WORD1 then WORD2 one after the other; sets CODES and ERRORS.
one_after_other() {
  local before
  before=$(log_names)
  run_word "$1" && local first=$EXIT_CODE
  run_word "$2"
  outcome "$before" "$first" "$EXIT_CODE"
}
# Starts WORD1 and WORD2 at the same moment and waits for both, closing orvinst's log dialogs
# on the desktop as a user would; sets CODES and ERRORS.
both_at_once() {
  local before a=$CASE_DIR/a.$RANDOM b=$CASE_DIR/b.$RANDOM pa pb
  before=$(log_names)
  launch_words "$1" && launch "$a" "$ORVCHECK_WIN" "${LAUNCH[@]}" && pa=$LAUNCHED
  launch_words "$2" && launch "$b" "$ORVCHECK_WIN" "${LAUNCH[@]}" && pb=$LAUNCHED
  while kill -0 "$pa" 2>/dev/null || kill -0 "$pb" 2>/dev/null; do
    [[ $1$2 != *setup* ]] && sleep 0.3 || tool orvdlg read "$ERROR_TITLE" 300 ok >/dev/null
  done
  wait "$pa" "$pb"
  exit_code "$a" "$1 (with $2)" && local first=$EXIT_CODE
  exit_code "$b" "$2 (with $1)"
  outcome "$before" "$first" "$EXIT_CODE"
  # One run's work begins when the other's has ended: their logs' spans (whole seconds) do not
  # overlap.
  local spans out first_end second_start
  spans=$(new_logs "$before" | while IFS= read -r out; do
    tr -d '\r' <"$LOGS/$out" |
      sed -n 's/.*, started \(.*\) UTC$/\1/p; s/.*, ended \(.*\) UTC$/\1/p' | tr '\n' '|'
    echo
  done | sort)
  [ "$(wc -l <<<"$spans")" -eq 2 ] || fail "$1 + $2: not two log files ($spans)"
  first_end=$(sed -n '1s/^[^|]*|\([^|]*\)|$/\1/p' <<<"$spans")
  second_start=$(sed -n '2s/^\([^|]*\)|.*$/\1/p' <<<"$spans")
  [[ ! $second_start < $first_end ]] || fail "$1 + $2 overlapped: $(tr '\n' ' ' <<<"$spans")"
}
# How the last pair ended: exit codes, error lines (each starts with "Error("), the machine.
outcome_text() { printf 'exit codes %s\n%s\n%s' "$CODES" "$ERRORS" "$(state)"; }
check_pair() {
  local start=$1 orders=("$2 $3") outcomes=() order found
  [ "$2" == "$3" ] || orders+=("$3 $2")
  for order in "${orders[@]}"; do
    run_word "$start"
    # shellcheck disable=SC2086
    one_after_other $order
    outcomes+=("$(outcome_text)")
  done
  run_word "$start"
  both_at_once "$2" "$3"
  found=$(outcome_text)
  for order in "${outcomes[@]}"; do
    [ "$found" != "$order" ] || { note "ok: $2 + $3 at once ended as one after the other"; return; }
  done
  fail "$2 + $3 at once ended as neither order (${outcomes[*]%%$'\n'*}; - the first, + at once):"
  diff -u <(echo "${outcomes[0]}") <(echo "$found") | tail -n +3 | sed 's/^/    /'
}
