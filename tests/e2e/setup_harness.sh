# Helpers of the cases that run the sample setup (cases/setup_*.sh), sourced after harness.sh.
# Set by CTest besides harness.sh's variables:
#   ORVINST_SETUP      orvalstone-setup.exe
#   ORVINST_SETUP_OLD  the same setup of an earlier build, with the package's stand-ins of build
#                      2072 (monitor) and 2206 (driver)

SETUP_EXE_WIN='C:\orv\dist\orvalstone-setup.exe'
OLD_SETUP_EXE_WIN='C:\orv\dist\orvalstone-setup-2206.exe'
INSTALL_WIN='C:\Program Files\Orvalstone'
UNINSTALLER_WIN="$INSTALL_WIN\\uninstall.exe"
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvalstone'
DRIVER_KEY='HKLM\System\CurrentControlSet\Control\Print\Environments\Windows x64\Drivers\Version-3\Orvalstone printer'
# The setup writes every message it gives to the file its /LOG= switch names.
SETUP_LOG_WIN='C:\orv\setup.log'
# What the setup's error message says when orvinst ended with 100.
SETUP_NAMES_THE_LOG='orvinst answered 100\). Its log, the window "Orvalstone build 2300- Install error log!", lists what failed'
# Wine's refusals that turn the package's installs and uninstalls into orvinst's 100 (see
# harness.sh and README.md).
WINE_DRIVER_ERROR="^ *Error\\(14\\): Can\`t remove the printer-driver 'Orvalstone printer' - \\(Invalid parameter\\.\\)\$"
# A queue Wine refused is listed by EnumPrintersW but cannot be opened (1801), so the next install
# cannot save or delete it.
WINE_REFUSED_QUEUE_ERROR="^ *Error\\(16\\): Can\`t open printer '[^']*' - \\(Invalid printer name\\.\\)\$"
WINE_ERRORS="$WINE_ADD_PRINTER_ERROR|$WINE_DRIVER_ERROR|$WINE_REFUSED_QUEUE_ERROR"

setup_case_begin() {
  case_begin "$1"
  [ -n "${ORVINST_SETUP:-}" ] || fatal "ORVINST_SETUP is not set"
  [ -n "${ORVINST_SETUP_OLD:-}" ] || fatal "ORVINST_SETUP_OLD is not set"
  mkdir -p "$ORV_DIR/dist"
  cp "$ORVINST_SETUP" "$ORV_DIR/dist/orvalstone-setup.exe"
  cp "$ORVINST_SETUP_OLD" "$ORV_DIR/dist/orvalstone-setup-2206.exe"
  INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Orvalstone"
  SETUP_LOG=$ORV_DIR/setup.log
}

# Runs PROGRAM silently with the given words after /S /LOG=, through the checker's launcher, which
# reports the full 32-bit exit code, and closes orvinst's error log when it comes up, as the user
# would. Sets EXIT_CODE, LOG (as run_orvinst_log) and SAID (the setup's messages of this run).
run_setup() {
  local program=$1 read polls
  shift
  rm -f "$SETUP_LOG"
  RUN_WORDS="\"$program\" /S /LOG=$SETUP_LOG_WIN $*"
  RUN_OUT=$CASE_DIR/run.$RANDOM.out
  (cd "$SETUP_DIR" && exec timeout -k 5 $((RUN_TIMEOUT_MS / 1000 + 20)) "$WINE_DIR/wine64" \
    "$ORVCHECK_WIN" runline "$RUN_TIMEOUT_MS" "$RUN_WORDS" </dev/null >"$RUN_OUT" 2>/dev/null) &
  RUN_PID=$!
  BACKGROUND_PIDS+=("$RUN_PID")
  LOG=
  for ((polls = 0; polls < RUN_TIMEOUT_MS / 300 + 20; ++polls)); do
    if grep -q '^exit: ' "$RUN_OUT" 2>/dev/null || ! kill -0 "$RUN_PID" 2>/dev/null; then break; fi
    read=$(wine "$ORVDLG_WIN" read "$ERROR_TITLE" 300 ok 2>/dev/null | tr -d '\r')
    if grep -q '^closed: yes$' <<<"$read"; then
      LOG=$(grep '^text: ' <<<"$read" | sed 's/^text: //')
      break
    fi
  done
  run_orvinst_wait
  SAID=
  [ ! -f "$SETUP_LOG" ] || SAID=$(tr -d '\r' <"$SETUP_LOG")
}

# The run ended in the setup's error path because orvinst ended with 100: the setup's exit code
# 1603, its message naming orvinst's log window, which came up and listed only errors that the
# case names as Wine's (ALLOWED, an extended regex).
expect_setup_error() {
  local what=$1 allowed=$2 errors unexpected
  expect_eq "$what: the setup's exit code for orvinst's 100" "$EXIT_CODE" 1603
  expect_line "$what: its message names the log" "$SAID" "$SETUP_NAMES_THE_LOG"
  errors=$(grep -E '^ *Error\(' <<<"$LOG")
  [ -n "$errors" ] || fail "$what: orvinst's error log did not come up"
  unexpected=$(grep -vE -- "$allowed" <<<"$errors")
  if [ -n "$unexpected" ]; then
    fail "$what: errors beyond the ones Wine causes:"
    sed 's/^/    /' <<<"$unexpected"
  fi
}

# The version of a file in the prefix, as "version: 1.0.0.N".
file_version() { wine "$ORVCHECK_WIN" version "$1" 2>/dev/null | tr -d '\r'; }

# The package as a setup of the current build leaves it, read back from the machine: monitor and
# driver of build 2300, the given queues, the setup's files and registration, the Run entry and
# the running tray program.
expect_package_installed() {
  local queue file
  read_state
  expect_eq "spooler running" "$(state_lines spooler-state)" 4
  expect_line "monitor registered" "$STATE" '^monitor: "Orvalstone:" dll="kvxmon64.dll" '
  expect_line "its port" "$STATE" '^port: "Orvalstone:" monitor="Orvalstone:"$'
  expect_eq "its module in system32" "$(file_version 'C:\windows\system32\kvxmon64.dll')" \
    "version: 1.0.0.2300"
  expect_line "driver registered" "$(state_lines driver)" \
    '^"Orvalstone printer" version=3 environment="Windows x64" path="kvxdrv64.dll" data="kvxdrv64.dll" config="kvxui64.dll" help="kvxhelp.chm" '
  expect_eq "its module" \
    "$(file_version 'C:\windows\system32\spool\drivers\x64\3\kvxdrv64.dll')" "version: 1.0.0.2300"
  # Wine keeps a queue its AddPrinterW refused as a key it cannot open, with what the installer
  # gave (harness.sh); on Windows the queue is whole.
  for queue in "$@"; do
    expect_line "queue $queue on the package's port and driver (Wine: a key it cannot open)" \
      "$(state_lines printer)" "^\"$queue\" port=\"Orvalstone:\" driver=\"Orvalstone printer\" "
  done
  for file in Setup/orvinst.exe Setup/kvxmon64.dll Setup/kvxdrv64.dll Setup/kvxui64.dll \
    Setup/kvxhelp.chm orvtray.exe uninstall.exe; do
    [ -f "$INSTALL_DIR/$file" ] || fail "$file is missing from $INSTALL_WIN"
  done
  cmp -s "$INSTALL_DIR/Setup/orvinst.exe" "$ORVINST_EXE" || fail "the setup holds another orvinst.exe"
  expect_eq "uninstaller registered" "$(reg_value "$UNINSTALL_KEY" UninstallString)" \
    "\"$UNINSTALLER_WIN\""
  expect_eq "Run entry" "$(reg_value "$RUN_KEY" OrvalstoneTray)" "$INSTALL_WIN\\orvtray.exe"
  expect_line "the tray program runs" "$(tray_window)" '^found: [0-9-]+$'
}

# Wine refuses to delete the driver with its files (DeletePrinterDriverExW, 87: error 14), so an
# uninstall there ends with 100 where Windows ends with 2 or 101. A case that needs the
# uninstall's own ending removes the driver's registration first, as Windows' uninstall would
# have; nothing else of the machine is touched.
wine_forget_driver() {
  wine reg delete "$DRIVER_KEY" /f >/dev/null 2>&1 || fatal "cannot remove Wine's driver key"
}

# What an uninstall leaves of the package's folder besides orvinst's log files, which stay in
# Setup\Logs as the record of the runs: one path a line, none when all is gone.
files_besides_logs() {
  [ -e "$INSTALL_DIR" ] || return 0
  (cd "$INSTALL_DIR" && find . -type f ! -path './Setup/Logs/*.log' | sort)
}
