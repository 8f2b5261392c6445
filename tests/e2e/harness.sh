# The e2e harness, sourced by every case in cases/. A case gets its own copy of the prefix
# template, the installer and the package's stand-ins laid out as the setup program leaves
# them, and helpers to run the installer, read back what it did and assert on it.
#
# Set by CTest (see CMakeLists.txt); set them yourself to run a case by hand (README.md):
#   ORVINST_E2E_TEMPLATE  prefix template made by wine_prefix.sh
#   ORVINST_E2E_CASES     where each case's directory goes
#   ORVINST_EXE           the orvinst.exe under test
#   ORVINST_PACKAGE       the stand-in package files (with variants/)
#   ORVINST_TOOLS         the directory of orvcheck.exe, orvdlg.exe and the canaries/
#   ORVINST_E2E_KEEP=1    keep the case's directory even when it passes
set -uo pipefail

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE_DIR=${ORVINST_WINE_DIR:-/usr/lib/wine}
export WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winedbg.exe=d}
unset DISPLAY WAYLAND_DISPLAY

# Inside the prefix: the installer and its files in C:\orv\setup, the tray program in its parent.
SETUP_WIN='C:\orv\setup'
ORVINST_WIN='C:\orv\setup\orvinst.exe'
ORVCHECK_WIN='C:\orv\tools\orvcheck.exe'
ORVDLG_WIN='C:\orv\tools\orvdlg.exe'
ERROR_TITLE='Orvalstone build 2300- Install error log!'
# Bounds: a single Wine command, one installer run (its spooler waits take up to 10 s each).
COMMAND_TIMEOUT=30
RUN_TIMEOUT_MS=90000

FAILURES=0
BACKGROUND_PIDS=()

note() { echo "[$CASE_NAME] $*"; }
fail() {
  echo "[$CASE_NAME] FAIL: $*"
  FAILURES=$((FAILURES + 1))
}
# A crash, a hang or a broken harness: nothing after it can be trusted.
fatal() {
  echo "[$CASE_NAME] FATAL: $*"
  FAILURES=$((FAILURES + 1))
  exit 1
}

case_begin() {
  CASE_NAME=$1
  local var
  for var in ORVINST_E2E_TEMPLATE ORVINST_E2E_CASES ORVINST_EXE ORVINST_PACKAGE ORVINST_TOOLS; do
    [ -n "${!var:-}" ] || fatal "$var is not set"
  done
  CASE_DIR=$ORVINST_E2E_CASES/$CASE_NAME
  export WINEPREFIX=$CASE_DIR/prefix
  trap case_cleanup EXIT
  "$E2E_HERE/wine_prefix.sh" clone "$ORVINST_E2E_TEMPLATE" "$WINEPREFIX" || fatal "no prefix"
  ORV_DIR=$WINEPREFIX/drive_c/orv
  SETUP_DIR=$ORV_DIR/setup
  mkdir -p "$SETUP_DIR" "$ORV_DIR/tools"
  cp "$ORVINST_EXE" "$SETUP_DIR/orvinst.exe"
  cp "$ORVINST_PACKAGE"/kvxmon64.dll "$ORVINST_PACKAGE"/kvxdrv64.dll "$ORVINST_PACKAGE"/kvxui64.dll \
    "$ORVINST_PACKAGE"/kvxhelp.chm "$SETUP_DIR/"
  cp "$ORVINST_PACKAGE/orvtray.exe" "$ORV_DIR/"
  cp "$ORVINST_TOOLS/orvcheck.exe" "$ORVINST_TOOLS/orvdlg.exe" "$ORV_DIR/tools/"
  set_prefix_paths
  prefix_boot
  note "prefix $WINEPREFIX"
}

# The first command starts the server and the services; its output must not be piped.
prefix_boot() {
  (cd "$SETUP_DIR" && timeout -k 5 "$COMMAND_TIMEOUT" "$WINE_DIR/wine64" cmd /c exit \
    >/dev/null 2>&1 </dev/null) || fatal "the prefix did not boot"
}

# Shuts the prefix's Wine down and boots it again, as a restart of the machine.
prefix_restart() {
  "$E2E_HERE/wine_prefix.sh" kill "$WINEPREFIX"
  prefix_boot
}

case_cleanup() {
  local status=$?
  local pid
  for pid in "${BACKGROUND_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  "$E2E_HERE/wine_prefix.sh" kill "$WINEPREFIX"
  for pid in "${BACKGROUND_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  if [ $FAILURES -eq 0 ] && [ $status -eq 0 ] && [ "${ORVINST_E2E_KEEP:-0}" != 1 ]; then
    rm -rf "$CASE_DIR"
  else
    echo "[$CASE_NAME] case directory kept: $CASE_DIR"
  fi
}

case_end() {
  if [ $FAILURES -ne 0 ]; then
    echo "[$CASE_NAME] $FAILURES check(s) failed"
    exit 1
  fi
  note "passed"
  exit 0
}

# A Wine command in the installer's folder (so that it is also the current directory).
wine() {
  (cd "$SETUP_DIR" && timeout -k 5 "$COMMAND_TIMEOUT" "$WINE_DIR/wine64" "$@" </dev/null)
}

# Runs the installer with the given words through the checker's launcher, which reports the
# full 32-bit exit code. Sets EXIT_CODE (decimal). Crashes and hangs end the case.
run_orvinst() {
  local out
  out=$(timeout -k 5 $((RUN_TIMEOUT_MS / 1000 + 20)) bash -c \
    'cd "$1" && shift && exec "$@" </dev/null' _ "$SETUP_DIR" "$WINE_DIR/wine64" "$ORVCHECK_WIN" \
    run "$RUN_TIMEOUT_MS" "$ORVINST_WIN" "$@" 2>/dev/null)
  parse_exit "$out" "orvinst $*"
}

# The same on a window station of its own that no one sees (the checker makes it and starts the
# installer there through STARTUPINFOW.lpDesktop), as a deployment agent's service would; with a
# bound of MS milliseconds. The output goes through a file: Wine starts a desktop process for
# the new station, which inherits the checker's output and would hold a pipe open.
run_orvinst_hidden() {
  local ms=$1 out=$CASE_DIR/hidden.$RANDOM.out
  local RUN_TIMEOUT_MS=$ms # the bound parse_exit names
  shift
  (cd "$SETUP_DIR" && exec timeout -k 5 $((ms / 1000 + 20)) "$WINE_DIR/wine64" "$ORVCHECK_WIN" \
    runhidden "$ms" "$ORVINST_WIN" "$@" </dev/null >"$out" 2>/dev/null)
  parse_exit "$(cat "$out")" "orvinst $* (hidden window station)"
}

# The same, in the background; run_orvinst_wait collects the result.
run_orvinst_start() {
  RUN_OUT=$CASE_DIR/run.$RANDOM.out
  (cd "$SETUP_DIR" && exec timeout -k 5 $((RUN_TIMEOUT_MS / 1000 + 20)) "$WINE_DIR/wine64" \
    "$ORVCHECK_WIN" run "$RUN_TIMEOUT_MS" "$ORVINST_WIN" "$@" </dev/null >"$RUN_OUT" 2>/dev/null) &
  RUN_PID=$!
  RUN_WORDS="$*"
  BACKGROUND_PIDS+=("$RUN_PID")
}
run_orvinst_wait() {
  wait "$RUN_PID"
  parse_exit "$(cat "$RUN_OUT")" "orvinst $RUN_WORDS"
}

# Runs the installer and, when it shows its error log, reads the log and closes the dialog with
# IDOK, as the user of the setup program would. Sets EXIT_CODE and LOG (the dialog's "text:" lines
# without that prefix, indentation kept; empty when no dialog came up). The dialog is looked for
# in short polls until the run has ended, so a run without an error costs no waiting.
run_orvinst_log() {
  run_orvinst_start "$@"
  LOG=
  local read polls
  for ((polls = 0; polls < RUN_TIMEOUT_MS / 300 + 20; ++polls)); do
    if grep -q '^exit: ' "$RUN_OUT" 2>/dev/null || ! kill -0 "$RUN_PID" 2>/dev/null; then break; fi
    read=$(wine "$ORVDLG_WIN" read "$ERROR_TITLE" 300 ok 2>/dev/null | tr -d '\r')
    if grep -q '^closed: ' <<<"$read"; then
      grep -q '^closed: yes$' <<<"$read" || fail "orvinst $*: the log dialog did not close"
      LOG=$(grep '^text: ' <<<"$read" | sed 's/^text: //')
      break
    fi
  done
  run_orvinst_wait
}

# Runs the installer as run_orvinst_log does and checks its exit code; when the run logged errors
# (100), every error line of its log must be one of the ALLOWED extended regexes (the errors Wine
# causes that the case names), and at least one must be there.
run_orvinst_expect() {
  local expected=$1 allowed=$2
  shift 2
  run_orvinst_log "$@"
  expect_eq "orvinst $*: exit code" "$EXIT_CODE" "$expected"
  if [ "$expected" == 100 ]; then
    local errors unexpected
    errors=$(grep -E '^ *Error\(' <<<"$LOG")
    [ -n "$errors" ] || fail "orvinst $*: exit code 100 without an error line in the log"
    unexpected=$(grep -vE -- "$allowed" <<<"$errors")
    if [ -n "$unexpected" ]; then
      fail "orvinst $*: errors beyond the ones Wine causes:"
      sed 's/^/    /' <<<"$unexpected"
    fi
  elif [ -n "$LOG" ]; then
    fail "orvinst $*: the log dialog came up on a run without errors:"
    sed 's/^/    /' <<<"$LOG"
  fi
}

# Wine's AddPrinterW refuses a null datatype with 1801 (the wine-notes table); Windows takes the
# default datatype. So every queue the installer creates fails under Wine with error 15 and its
# system text, which turns an install's 1 into 100 and brings up the error log.
WINE_ADD_PRINTER_ERROR="^ *Error\\(15\\): Can\`t add printer '[^']*' - \\(Invalid printer name\\.\\)\$"

# What the package leaves on the machine, as the cases read it back.
TRAY_CLASS='ovs::{05759F8E-103D-41B6-8A61-EFAA89516692}'
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
PRINTERS_KEY='HKLM\System\CurrentControlSet\Control\Print\Printers'
SESSION_KEY='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'
SETTINGS_KEY='HKCU\Software\Vantrel Software KFT\Orvalstone\Orvalstones'

# Linux paths of the prefix's system directory and printer-driver directories (set by case_begin).
set_prefix_paths() {
  SYSTEM32=$WINEPREFIX/drive_c/windows/system32
  DRIVERS_X64=$SYSTEM32/spool/drivers/x64
}

# "found: HANDLE" while the tray program's window exists, "found: none" otherwise.
tray_window() { wine "$ORVCHECK_WIN" find "$TRAY_CLASS" - 2>/dev/null | tr -d '\r'; }
# The window of a tray program that was just started: on a busy machine it may take a moment
# to make it, so the search is repeated for up to 10 s.
started_tray_window() {
  local out
  for _ in $(seq 20); do
    out=$(tray_window)
    grep -q '^found: [0-9-]' <<<"$out" && break
    sleep 0.5
  done
  echo "$out"
}

# Wine's AddPrinterW leaves a queue it refused as a registry key that cannot be opened (see
# WINE_ADD_PRINTER_ERROR). A case that needs working queues removes that key, as nothing on
# Windows would have made it.
wine_forget_queue() {
  wine reg delete "$PRINTERS_KEY\\$1" /f >/dev/null 2>&1 || fatal "cannot remove Wine's key of '$1'"
}

# A package queue as an earlier install left it, made by the checker (with a datatype, which
# Wine needs): NAME SUBKEY COMMENT LOCATION default|plain.
add_package_queue() {
  local out
  out=$(wine "$ORVCHECK_WIN" addprinter "$@" 2>/dev/null | tr -d '\r')
  [ "$out" == "added: yes" ] || fatal "cannot add the queue '$1': $out"
}

# The installer from a fresh prefix, checked for what Wine lets it do. Leaves the package as the
# install made it, with Wine's half-made queue "Orvalstone" removed.
install_package() {
  run_orvinst_expect 100 "$WINE_ADD_PRINTER_ERROR" install
  wine_forget_queue Orvalstone
}

# Writes PendingFileRenameOperations as the system keeps it: the given strings (pairs of source
# and target, "" for a deletion's empty target), each with its NUL, and the closing NUL. An ANSI
# registry file gives its multi-string data in ANSI bytes (ASCII paths only).
set_pending_renames() {
  local file=$ORV_DIR/pending.reg data
  data=$( (printf '%s\0' "$@"; printf '\0') | od -An -tx1 -v | tr -s ' \n' ',' |
    sed 's/^,//; s/,$//')
  printf 'REGEDIT4\r\n\r\n[%s]\r\n"PendingFileRenameOperations"=hex(7):%s\r\n' \
    'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager' "$data" >"$file"
  wine reg import 'C:\orv\pending.reg' >/dev/null 2>&1 || fatal "cannot write the pending renames"
}

parse_exit() {
  local out=$1 what=$2 line
  line=$(grep -m1 '^exit: ' <<<"$out" | tr -d '\r')
  case "$line" in
    "exit: 0x"*) ;;
    "exit: timeout") fatal "$what hung: no exit within $((RUN_TIMEOUT_MS / 1000)) s" ;;
    *) fatal "$what: no exit code from the launcher (${line:-no output})" ;;
  esac
  local hex=${line#exit: 0x}
  EXIT_CODE=$((16#$hex))
  case "$hex" in
    C0000005) fatal "$what crashed: access violation (0xC0000005)" ;;
    80000100) fatal "$what called a function Wine does not implement (0x80000100)" ;;
    C06D007E | C06D007F)
      fatal "$what: a delay-loaded DLL or function was missing (0x$hex): a DLL other than the" \
        "system's own was loaded" ;;
    C*) fatal "$what ended with the exception 0x$hex" ;;
  esac
}

# Everything the checker reads back from the spooler, into STATE (one "key: value" a line).
read_state() {
  STATE=$(wine "$ORVCHECK_WIN" state 2>/dev/null | tr -d '\r')
  [ -n "$STATE" ] || fatal "the checker gave no state"
}
state_lines() { grep -E "^$1: " <<<"$STATE" | sed "s/^$1: //"; }

# The data of a registry value as `reg query` shows it, or nothing when it is missing.
# Names may hold spaces: a line is "    NAME    TYPE    DATA".
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v name="$2" 'index($0, "    " name "    REG_") == 1 {
      rest = substr($0, length(name) + 9); sub(/^REG_[A-Z_]+ */, "", rest); print rest }'
}

spooler_stop() { wine net stop spooler >/dev/null 2>&1; }
# Wine's service manager reads the start type only when it starts, so the machine is restarted
# with the spooler disabled (it then stays stopped).
spooler_disable() {
  wine reg add 'HKLM\System\CurrentControlSet\Services\Spooler' /v Start /t REG_DWORD /d 4 /f \
    >/dev/null 2>&1 || fatal "cannot disable the spooler"
  prefix_restart
}

# Starts a long-lived helper program in the prefix in the background; its output goes to FILE.
start_helper() {
  local file=$1
  shift
  (cd "$SETUP_DIR" && exec timeout -k 5 $((RUN_TIMEOUT_MS / 1000 + 30)) "$WINE_DIR/wine64" "$@" \
    </dev/null >"$file" 2>/dev/null) &
  HELPER_PID=$!
  BACKGROUND_PIDS+=("$HELPER_PID")
}

# Waits (bounded) until a line matching REGEX appears in FILE; prints the line.
wait_for_line() {
  local file=$1 regex=$2 tries
  for ((tries = 0; tries < 200; ++tries)); do
    if grep -qE "$regex" "$file" 2>/dev/null; then
      grep -m1 -E "$regex" "$file" | tr -d '\r'
      return 0
    fi
    sleep 0.1
  done
  return 1
}

expect_eq() {
  local what=$1 actual=$2 expected=$3
  if [ "$actual" == "$expected" ]; then
    note "ok: $what"
  else
    fail "$what: expected [$expected], got [$actual]"
  fi
}
# Whether some line of TEXT matches REGEX (extended), or none does.
expect_line() {
  local what=$1 text=$2 regex=$3
  if grep -qE -- "$regex" <<<"$text"; then note "ok: $what"; else
    fail "$what: no line matches /$regex/ in:"
    sed 's/^/    /' <<<"$text"
  fi
}
expect_no_line() {
  local what=$1 text=$2 regex=$3
  if grep -qE -- "$regex" <<<"$text"; then
    fail "$what: a line matches /$regex/:"
    grep -E -- "$regex" <<<"$text" | sed 's/^/    /'
  else note "ok: $what"; fi
}
