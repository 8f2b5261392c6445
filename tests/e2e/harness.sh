# The e2e harness, sourced by every case in cases/: the case's own copy of the prefix template
# with the installer and the package laid out as the setup program leaves them, helpers to run
# the installer (or the sample setup), and `expect STEP`, which compares what the runs recorded
# and the machine now with the section "== STEP" of expected/CASE.
#
# Set by CTest (see CMakeLists.txt); set them yourself to run a case by hand (README.md):
# ORVINST_E2E_TEMPLATE (made by wine_prefix.sh), ORVINST_E2E_CASES (where each case's directory
# goes), ORVINST_EXE, ORVINST_PACKAGE (the stand-ins, with variants/), ORVINST_TOOLS (orvcheck.exe,
# orvdlg.exe, canaries/), ORVINST_SETUP and ORVINST_SETUP_OLD (the sample setups), ORVINST_MSI,
# ORVINST_MSI_ANSWERS and ORVINST_MSI_ANSWERS_OLD (the MSI packages; orvanswer.exe is the
# stand-in in the last two, ORVINST_ANSWER), and ORVINST_E2E_KEEP=1 to keep the case's directory
# even when it passes.
set -uo pipefail

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE_DIR=${ORVINST_WINE_DIR:-/usr/lib/wine}
export WINEDEBUG=-all WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winedbg.exe=d}
unset DISPLAY WAYLAND_DISPLAY

ORVINST_WIN='C:\orv\setup\orvinst.exe'
ORVCHECK_WIN='C:\orv\tools\orvcheck.exe'
ERROR_TITLE='Orvalstone build 2300- Install error log!'
INSTALL_WIN='C:\Program Files\Orvalstone' UNINSTALLER_WIN='C:\Program Files\Orvalstone\uninstall.exe'
# Bounds: a single Wine command, one installer run (its spooler waits take up to 10 s each).
COMMAND_TIMEOUT=30 RUN_TIMEOUT_MS=90000
FAILURES=0 BACKGROUND_PIDS=() RECORD=

note() { echo "[$CASE_NAME] $*"; }
fail() { note "FAIL: $*" && FAILURES=$((FAILURES + 1)); }
# A crash, a hang or a broken harness: nothing after it can be trusted.
fatal() { fail "$*" && exit 1; }

case_begin() {
  CASE_NAME=${1:-$(basename "$0" .sh)}
  local file
  : "${ORVINST_E2E_TEMPLATE:?}" "${ORVINST_E2E_CASES:?}" "${ORVINST_EXE:?}" "${ORVINST_PACKAGE:?}"
  : "${ORVINST_TOOLS:?}"
  CASE_DIR=$ORVINST_E2E_CASES/$CASE_NAME && export WINEPREFIX=$CASE_DIR/prefix
  trap case_cleanup EXIT
  "$E2E_HERE/wine_prefix.sh" clone "$ORVINST_E2E_TEMPLATE" "$WINEPREFIX" || fatal "no prefix"
  DRIVE_C=$WINEPREFIX/drive_c INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Orvalstone"
  ORV_DIR=$DRIVE_C/orv SETUP_DIR=$DRIVE_C/orv/setup SYSTEM32=$DRIVE_C/windows/system32
  mkdir -p "$SETUP_DIR" "$ORV_DIR/tools" "$ORV_DIR/dist"
  cp "$ORVINST_EXE" "$ORVINST_PACKAGE"/kvx* "$SETUP_DIR/"
  cp "$ORVINST_PACKAGE/orvtray.exe" "$ORV_DIR/"
  cp "$ORVINST_TOOLS/orvcheck.exe" "$ORVINST_TOOLS/orvdlg.exe" "$ORV_DIR/tools/"
  [ -z "${ORVINST_SETUP:-}" ] || cp "$ORVINST_SETUP" "$ORVINST_SETUP_OLD" "$ORV_DIR/dist/"
  [ -z "${ORVINST_MSI:-}" ] ||
    cp "$ORVINST_MSI" "$ORVINST_MSI_ANSWERS" "$ORVINST_MSI_ANSWERS_OLD" "$ORV_DIR/dist/"
  # Which file of the build a file is, by its content (the package's own names win).
  declare -gA KNOWN=()
  for file in "$ORVINST_PACKAGE"/variants/*/* "$ORVINST_PACKAGE"/*; do
    [ -f "$file" ] && KNOWN[$(md5sum <"$file")]=${file#"$ORVINST_PACKAGE"/}
  done
  KNOWN[$(md5sum <"$ORVINST_EXE")]=orvinst.exe
  [ -z "${ORVINST_ANSWER:-}" ] || KNOWN[$(md5sum <"$ORVINST_ANSWER")]=orvanswer.exe
  prefix_boot
  note "prefix $WINEPREFIX"
}

# The first command starts the server and the services; its output must not be piped.
prefix_boot() { wine cmd /c exit >/dev/null 2>&1 || fatal "the prefix did not boot"; }
# Shuts the prefix's Wine down and boots it again, as a restart of the machine.
prefix_restart() { "$E2E_HERE/wine_prefix.sh" kill "$WINEPREFIX" && prefix_boot; }

case_cleanup() {
  local status=$? pid
  for pid in "${BACKGROUND_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  "$E2E_HERE/wine_prefix.sh" kill "$WINEPREFIX"
  for pid in "${BACKGROUND_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  [ $FAILURES -ne 0 ] || [ $status -ne 0 ] || [ "${ORVINST_E2E_KEEP:-0}" == 1 ] ||
    { rm -rf "$CASE_DIR" && return; }
  note "case directory kept: $CASE_DIR (found: what each step found)"
}

case_end() { [ $FAILURES -eq 0 ] && note "passed" && exit 0 || fatal "$FAILURES check(s) failed"; }

# A Wine command in the installer's folder (so that it is also the current directory).
wine() { (cd "$SETUP_DIR" && timeout -k 5 "$COMMAND_TIMEOUT" "$WINE_DIR/wine64" "$@" </dev/null); }
# One of the e2e tools (orvcheck, orvdlg) with its words; its output without CRs.
tool() { wine "C:\\orv\\tools\\$1.exe" "${@:2}" 2>/dev/null | tr -d '\r'; }
# A program of the prefix in the background, its output into FILE; its pid in LAUNCHED.
launch() {
  (cd "$SETUP_DIR" && exec timeout -k 5 $((RUN_TIMEOUT_MS / 1000 + 30)) "$WINE_DIR/wine64" \
    "${@:2}" </dev/null >"$1" 2>/dev/null) &
  LAUNCHED=$!
  BACKGROUND_PIDS+=("$LAUNCHED")
}
# A checker helper that prints a first line when it is ready (window, hold): waits for that
# line, bounded, into HELPER_LINE; its output file is HELPER_OUT, its pid LAUNCHED.
helper() {
  HELPER_OUT=$CASE_DIR/helper.$RANDOM
  launch "$HELPER_OUT" "$ORVCHECK_WIN" "$@"
  wait_for test -s "$HELPER_OUT"
  HELPER_LINE=$(head -n 1 "$HELPER_OUT" | tr -d '\r')
}
# Waits (up to 10 s) until COMMAND succeeds.
wait_for() {
  for ((tries = 0; tries < 50; ++tries)); do "$@" && return || sleep 0.2; done
  fatal "waited in vain for: $*"
}

# Runs the checker's launcher (WHAT names the run; the rest are the launcher's words), which
# reports the full 32-bit exit code, and, when orvinst's error log comes up, reads the dialog and
# closes it with $CLOSE (default ok) as the user would. Sets EXIT_CODE, DIALOG (what the reader
# printed) and LOG (the dialog's lines). Crashes and hangs end the case.
launcher() {
  local what=$1 out=$CASE_DIR/run.$RANDOM read polls
  launch "$out" "$ORVCHECK_WIN" "${@:2}"
  local pid=$LAUNCHED
  DIALOG= LOG=
  for ((polls = 0; polls < RUN_TIMEOUT_MS / 300 + 20; ++polls)); do
    if grep -qs '^exit: ' "$out" || ! kill -0 "$pid" 2>/dev/null; then break; fi
    # No dialog of a run on a hidden window station can be found from here.
    [ "$2" != runhidden ] || { sleep 0.3 && continue; }
    read=$(tool orvdlg read "$ERROR_TITLE" 300 "${CLOSE:-ok}")
    if grep -q '^closed: ' <<<"$read"; then
      grep -q '^closed: yes$' <<<"$read" || fail "$what: the log dialog did not close"
      DIALOG=$read LOG=$(sed -n 's/^text: //p' <<<"$read")
      break
    fi
  done
  wait "$pid"
  exit_code "$out" "$what"
}
# The exit code the launcher wrote into FILE, into EXIT_CODE (WHAT names the run).
exit_code() {
  local line hex what=$2
  line=$(grep -m1 '^exit: ' "$1" | tr -d '\r')
  [ "$line" != "exit: timeout" ] || fatal "$what hung: no exit within the bound"
  [[ $line == "exit: 0x"* ]] || fatal "$what: no exit code from the launcher (${line:-no output})"
  hex=${line#exit: 0x} EXIT_CODE=$((16#${line#exit: 0x}))
  [[ $hex != C* && $hex != 80000100 ]] || fatal "$what ended with the exception 0x$hex" \
    "(C0000005 an access violation, 80000100 a function Wine does not implement, C06D007E or" \
    "C06D007F a delay-loaded DLL or function missing: a DLL not the system's own was loaded)"
}
# The command line of WORDS, each quoted when it is empty or holds a space (none holds quotes).
command_line() {
  local word line=$1
  for word in "${@:2}"; do
    [[ -n $word && $word != *' '* ]] && line+=" $word" || line+=" \"$word\""
  done
  echo "$line"
}
run_orvinst() { launcher "orvinst $*" run "$RUN_TIMEOUT_MS" "$(command_line "$ORVINST_WIN" "$@")"; }

record() { RECORD+="$*"$'\n'; }
# The last run as WHAT: its exit code and its error log ("| " before each line).
record_run() {
  record "$1: exit $EXIT_CODE"
  [ -z "$LOG" ] || record "$(sed 's/^/| /' <<<"$LOG")"
}
orvinst() { run_orvinst "$@"; record_run "orvinst $*"; }
# The sample setup PROGRAM (in C:\orv\dist, or the uninstaller), silent, with WORDS after
# /S /LOG=, recorded with the messages it gave ("said: " before each).
setup() {
  local program=$1
  rm -f "$ORV_DIR/setup.log"
  [[ $program == *'\'* ]] || program="C:\\orv\\dist\\$program"
  launcher "setup ${*:2}" run "$RUN_TIMEOUT_MS" "\"$program\" /S /LOG=C:\\orv\\setup.log ${*:2}"
  record_run "setup ${program##*\\} ${*:2}"
  said
}
said() {
  [ ! -f "$ORV_DIR/setup.log" ] ||
    record "$(tr -d '\r' <"$ORV_DIR/setup.log" | sed 's/^/said: /')"
}

# What the package left on the machine: the checker's state (without Wine's own local ports),
# the package's files where an install puts them, each named by what it is, and the setup's
# registration.
machine() {
  # A user's folder is named as the user running Wine is; the setup's temporary names vary.
  tool orvcheck state | grep -v 'monitor="Local Monitor"$\|^monitor: "Local Port"' |
    sed 's/\\users\\[^\\]*\\/\\users\\USER\\/g; s/~nsu[0-9A-Fa-f]*\.tmp/~nsuN.tmp/g'
  local file
  # The setup's folder keeps orvinst's log files, named by the time of their run.
  {
    ls -d "$SYSTEM32"/kvx* "$SYSTEM32"/spool/drivers/x64/{,3/}kvx* "$DRIVE_C"/orv*/orvtray.exe
    [ ! -d "$INSTALL_DIR" ] || find "$INSTALL_DIR" -type f ! -path '*/Logs/*' | sort
  } 2>/dev/null | while IFS= read -r file; do
    [ -f "$file" ] && echo "file: ${file#"$DRIVE_C"/} ${KNOWN[$(md5sum <"$file")]:-other}"
  done
  ls "$INSTALL_DIR/Setup/Logs" 2>/dev/null | sed 's/[0-9]/N/g; s/^/file: setup log /'
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvalstone' \
    2>/dev/null | tr -d '\r' | sed -n 's/^    /registration: /p'
  [ -z "${MSI_BUILDS:-}" ] || msi_products
}

# The MSI package: its product code is fixed per build (setup/msi/CMakeLists.txt).
msi_product() { echo "{6B1F0C3E-2D47-4A95-8E61-00000000$1}"; }
# What Windows Installer registered of each build in MSI_BUILDS (a case that installs MSI
# packages sets it): its name and version in the list of programs.
msi_products() {
  local build
  for build in $MSI_BUILDS; do
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\'"$(msi_product "$build")" \
      2>/dev/null | tr -d '\r' | grep -E '^    (DisplayName|DisplayVersion) ' |
      sed "s/^    /msi product $build: /"
  done
}
# msiexec with WORDS, quiet, logging into C:\orv\msi.log, on a window station no one sees, as a
# deployment agent's service runs it (on Windows the custom actions run in session 0, where
# orvinst shows no dialog). Recorded: the exit code, the lines the custom actions wrote into the
# log ("action: "; a log file's time as N) and the stand-in's runs ("ran: ").
msiexec() {
  rm -f "$ORV_DIR/msi.log" "$ORV_DIR/runs.log"
  launcher "msiexec $*" runhidden "$RUN_TIMEOUT_MS" "msiexec $* /qn /l*v C:\orv\msi.log"
  record "msiexec $*: exit $EXIT_CODE"
  local lines
  lines=$(tr -d '\r' <"$ORV_DIR/msi.log" 2>/dev/null | grep '^orvinst ' |
    sed -E 's/Logs\\[0-9_-]+_/Logs\\N_/; s/^/action: /')
  [ -z "$lines" ] || record "$lines"
  [ ! -f "$ORV_DIR/runs.log" ] || record "$(sed 's/^/ran: /' "$ORV_DIR/runs.log")"
}

# Compares what was recorded since the last step and the machine now with the section
# "== STEP" of expected/CASE, whose lines starting with "#" are remarks. The machine is read
# again for up to 20 s while only it differs: a program may take a moment to start or to end.
expect() {
  local step=$1 want got tries
  want=$(awk -v s="== $step" '$0 == s { on = 1; next } /^== / { on = 0 } on && !/^#/' \
    "$E2E_HERE/expected/$CASE_NAME")
  [ -n "$want" ] || fail "no section '== $step' in expected/$CASE_NAME"
  for ((tries = 0; tries < 15; ++tries)); do
    got=$(printf '%s' "$RECORD"; machine)
    [[ $got != "$want" && $want == "$(printf '%s' "$RECORD")"* ]] || break
    sleep 0.5
  done
  printf '== %s\n%s\n' "$step" "$got" >>"$CASE_DIR/found"
  RECORD=
  if [ "$got" == "$want" ]; then note "ok: $step"; else
    fail "$step: differs from expected/$CASE_NAME (- expected, + found):"
    diff -u <(echo "$want") <(echo "$got") | tail -n +3 | sed 's/^/    /'
  fi
}

# Wine's AddPrinterW refuses the installer's null datatype and leaves the queue as a registry
# key that cannot be opened (README.md). A case that needs working queues removes that key, and
# one that needs an uninstall's own ending also the driver Wine would not let it delete.
wine_forget() {
  for key in "$@"; do
    wine reg delete "HKLM\\System\\CurrentControlSet\\Control\\Print\\$key" /f >/dev/null 2>&1 ||
      fatal "cannot remove Wine's key $key"
  done
}
WINE_DRIVER='Environments\Windows x64\Drivers\Version-3\Orvalstone printer'
# A package queue as an earlier install left it: NAME SUBKEY COMMENT LOCATION default|plain.
add_package_queue() {
  [ "$(tool orvcheck addprinter "$@")" == "added: yes" ] || fatal "cannot add the queue '$1'"
}
# "found: " and the handle of the tray program's window, or "none".
tray_window() { tool orvcheck find 'ovs::{05759F8E-103D-41B6-8A61-EFAA89516692}' -; }
tray_running() { [ "$(tray_window)" != "found: none" ]; }

# Wine's service manager reads the start type only when it starts, so the machine is restarted
# with the spooler disabled (it then stays stopped).
spooler_disable() {
  wine reg add 'HKLM\System\CurrentControlSet\Services\Spooler' /v Start /t REG_DWORD /d 4 /f \
    >/dev/null 2>&1 || fatal "cannot disable the spooler"
  prefix_restart
}
