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
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print; found = 1 }'
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
