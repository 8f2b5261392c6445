#!/usr/bin/env bash
# Runs no one watches, and the log file of every install and uninstall. With the spooler
# disabled, an install started on a window station of its own that no one sees ends with 100
# by itself, without a dialog, and leaves its log file in C:\orv\setup\Logs; the next one,
# seen on the user's window station, shows its error log, and its file holds the same lines
# between a header and a closing line. A Logs that is a file is not written through:
# the dialog says so and the run's outcome is unchanged.
source "$(dirname "$0")/../harness.sh"
case_begin log_file

LOGS_DIR=$SETUP_DIR/Logs
NAME_RE='^20[0-9]{2}-[01][0-9]-[0-3][0-9]_[0-2][0-9]-[0-5][0-9]-[0-5][0-9]-[0-9]{3}_install\.log$'
TIME_RE='20[0-9]{2}-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] UTC'

# The files in Logs, oldest first, one name a line.
log_files() { ls "$LOGS_DIR" 2>/dev/null | sort; }

# Checks the log file NAME: UTF-8 with a byte order mark, CR LF after every line, the header
# and closing line, and (when given) the body equal to the dialog's lines.
check_log_file() {
  local name=$1 dialog=${2-} file=$LOGS_DIR/$1
  expect_line "$name: named by time and job" "$name" "$NAME_RE"
  expect_eq "$name: byte order mark" "$(head -c 3 "$file" | od -An -tx1 | tr -d ' \n')" efbbbf
  expect_eq "$name: every line ends in CR LF" "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' \n')/$(
    grep -c $'[^\r]$' "$file")" 0d0a/0
  local text
  text=$(tail -c +4 "$file" | tr -d '\r')
  expect_line "$name: header" "$(head -n 1 <<<"$text")" \
    "^Orvalstone build 2300, orvinst install, started $TIME_RE\$"
  expect_line "$name: closing line" "$(tail -n 1 <<<"$text")" "^Exit code 100, ended $TIME_RE\$"
  expect_line "$name: error 4 at depth 1" "$text" "^  Error\\(4\\): Can't start the spooler"
  if [ -n "$dialog" ]; then
    expect_eq "$name: the dialog's lines" "$(sed '1d;$d' <<<"$text")" "$dialog"
  fi
}

spooler_disable

# Unseen: no dialog to wait for, so the run ends by itself, within the spooler's own waits
# (up to 10 s for its start).
start=$(date +%s)
run_orvinst_hidden 30000 install
elapsed=$(($(date +%s) - start))
expect_eq "hidden: exit code" "$EXIT_CODE" 100
[ "$elapsed" -le 20 ] || fail "hidden: the run took $elapsed s"
note "hidden: the run took $elapsed s"
mapfile -t files < <(log_files)
expect_eq "hidden: one log file" "${#files[@]}" 1
check_log_file "${files[0]}"

# Seen (now a reinstall): the dialog comes up, and its lines are the new file's.
run_orvinst_log install
expect_eq "visible: exit code" "$EXIT_CODE" 100
[ -n "$LOG" ] || fail "visible: no log dialog came up"
mapfile -t files < <(log_files)
expect_eq "visible: a second log file" "${#files[@]}" 2
check_log_file "${files[1]}" "$LOG"

# Logs is a file: it stays as it is, and the dialog's last line says why there is no file.
mv "$LOGS_DIR" "$ORV_DIR/Logs.kept"
printf 'not a folder' >"$LOGS_DIR"
run_orvinst_log install
expect_eq "Logs a file: exit code" "$EXIT_CODE" 100
expect_eq "Logs a file: noted" "$(tail -n 1 <<<"$LOG")" \
  'Log file not written: C:\orv\setup\Logs is not a folder of its own'
expect_eq "Logs a file: left as it was" "$(cat "$LOGS_DIR")" 'not a folder'

case_end
