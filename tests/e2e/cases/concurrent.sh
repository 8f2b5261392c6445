#!/usr/bin/env bash
# Two runs started at once, as a deployment agent's retry, a double click or an upgrade's
# uninstall beside a new install make them: each pair ends as the same two runs one after the
# other do, in one of the two orders, with the same exit codes and no error line of its own.
# The runs are on hidden window stations, as under a deployment agent: no dialog waits there.
source "$(dirname "$0")/../harness.sh"
case_begin

# The machine without the installer's log files, whose number grows with every run.
state() { machine | grep -v '^file: setup log '; }
# The error lines of every log file so far, sorted; and the files' names, to tell new ones.
log_names() { ls "$SETUP_DIR/Logs" 2>/dev/null | sort; }
new_errors() {
  local name
  comm -13 <(echo "$1") <(log_names) | while IFS= read -r name; do
    cat "$SETUP_DIR/Logs/$name" 2>/dev/null
  done | tr -d '\r' | grep -o 'Error([0-9]*).*' | sort
}
# Runs WORD1 then WORD2 one after the other; sets CODES ("a b", sorted) and ERRORS.
one_after_other() {
  local before
  before=$(log_names)
  run_hidden "$1" && local first=$EXIT_CODE
  run_hidden "$2"
  CODES=$(printf '%s\n' "$first" "$EXIT_CODE" | sort | tr '\n' ' ')
  ERRORS=$(new_errors "$before")
}
# Starts WORD1 and WORD2 at the same moment and waits for both; sets CODES and ERRORS.
both_at_once() {
  local before a=$CASE_DIR/a.$RANDOM b=$CASE_DIR/b.$RANDOM pa pb
  before=$(log_names)
  launch "$a" "$ORVCHECK_WIN" runhidden 120000 "$(command_line "$ORVINST_WIN" "$1")"
  pa=$LAUNCHED
  launch "$b" "$ORVCHECK_WIN" runhidden 120000 "$(command_line "$ORVINST_WIN" "$2")"
  pb=$LAUNCHED
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
    tr -d '\r' <"$SETUP_DIR/Logs/$out" | sed -n 's/.*, started \(.*\) UTC$/\1/p; s/.*, ended \(.*\) UTC$/\1/p' |
      tr '\n' '|'
    echo
  done | sort)
  [ "$(wc -l <<<"$spans")" -eq 2 ] || fail "$1 + $2: not two log files ($spans)"
  local first_end second_start
  first_end=$(sed -n '1s/^[^|]*|\([^|]*\)|$/\1/p' <<<"$spans")
  second_start=$(sed -n '2s/^\([^|]*\)|.*$/\1/p' <<<"$spans")
  [[ ! $second_start < $first_end ]] || fail "$1 + $2 overlapped: $(tr '\n' ' ' <<<"$spans")"
}
# Runs the pair WORD1 WORD2 at once from the state START (a word run first) and checks it
# against the two orders run from the same state.
check_pair() {
  local start=$1 orders=() codes=() errors=() order
  for order in "$2 $3" "$3 $2"; do
    run_hidden "$start"
    # shellcheck disable=SC2086
    one_after_other $order
    orders+=("$(state)") codes+=("$CODES") errors+=("$ERRORS")
  done
  run_hidden "$start"
  both_at_once "$2" "$3"
  local found
  found=$(state)
  for order in 0 1; do
    if [ "$found" == "${orders[$order]}" ] && [ "$CODES" == "${codes[$order]}" ] &&
      [ "$ERRORS" == "${errors[$order]}" ]; then
      note "ok: $2 + $3 at once ended as one after the other"
      return
    fi
  done
  fail "$2 + $3 at once (exit codes $CODES) ended as neither order (exit codes ${codes[0]}/${codes[1]}):"
  diff -u <(echo "${orders[0]}") <(echo "$found") | tail -n +3 | sed 's/^/    /'
  diff -u <(echo "${errors[0]}") <(echo "$ERRORS") | tail -n +3 | sed 's/^/    /'
}

check_pair install install install
check_pair install install uninstall

case_end
