#!/usr/bin/env bash
# A help viewer window of the package is closed before the run starts its work.
source "$(dirname "$0")/../harness.sh"
case_begin help_viewer

for word in install uninstall; do
  start_helper "$CASE_DIR/viewer.$word.out" "$ORVCHECK_WIN" helpviewer
  viewer_pid=$HELPER_PID
  wait_for_line "$CASE_DIR/viewer.$word.out" '^window: [0-9-]+' >/dev/null ||
    fatal "no help viewer window"
  found=$(wine "$ORVCHECK_WIN" find "HH Parent" "Orvalstone Help" | tr -d '\r')
  [ "$found" != "found: none" ] || fatal "the help viewer cannot be found"

  # The install's error log (Wine refuses the package queue, see harness.sh) is closed too.
  run_orvinst_log "$word"
  found=$(wine "$ORVCHECK_WIN" find "HH Parent" "Orvalstone Help" | tr -d '\r')
  expect_eq "$word: help viewer window gone" "$found" "found: none"
  wait "$viewer_pid"
  expect_line "$word: the viewer was closed, not killed" "$(cat "$CASE_DIR/viewer.$word.out")" \
    '^window: closed'
done

case_end
