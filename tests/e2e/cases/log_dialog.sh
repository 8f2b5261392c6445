#!/usr/bin/env bash
# The error log, with the spooler disabled (its start fails: error 4). A run no one watches ends
# by itself and leaves its log file; a run seen shows the dialog, owned by the window the third
# word names (none for a number that is no window or a hexadecimal one, read as 0), its lines
# the ones of its file; a Logs that is a file is left alone; no DLL is planted.
source "$(dirname "$0")/../harness.sh"
case_begin

# The newest file in Logs: its name (digits as N), first and last bytes (byte order mark, CR LF
# at the end), lines without CR, and its lines (times as TIME, ": " before each).
newest_log() {
  local file
  file=$(ls -d "$SETUP_DIR"/Logs/* | sort | tail -n 1)
  record "log files: $(ls "$SETUP_DIR/Logs" | wc -l), newest $(basename "$file" | tr 0-9 N)" \
    "$(head -c 3 "$file" | od -An -tx1) ..$(tail -c 2 "$file" | od -An -tx1)," \
    "$(grep -c $'[^\r]$' "$file") line(s) without CR"
  record "$(tail -c +4 "$file" | tr -d '\r' | sed -E 's/^/: /; s/[0-9-]{10} [0-9:]{8} UTC/TIME/')"
}
# The dialog as the reader saw it besides its lines, OWNER named so.
record_dialog() {
  record "$(grep -v '^text: ' <<<"$DIALOG" | sed "s/^owner: ${1-}\$/owner: OWNER/")"
}

spooler_disable
# Unseen, on a window station of its own that no one sees, as a deployment agent's service
# starts a setup: no dialog to wait for, so the run ends within the spooler's own waits.
start=$SECONDS
launcher "orvinst install (hidden)" runhidden 30000 "$ORVINST_WIN install"
record_run "hidden install"
[ $((SECONDS - start)) -le 20 ] || fail "the hidden run took $((SECONDS - start)) s"
newest_log
expect hidden

helper window "Setup program"
owner=${HELPER_LINE#window: }
run_orvinst install "$owner"
record_run "install OWNER"
record_dialog "$owner"
newest_log
expect "owner window"

# Logs is a file: it stays as it is, and the dialog's last line says why there is no file.
mv "$SETUP_DIR/Logs" "$ORV_DIR/Logs.kept"
printf 'not a folder' >"$SETUP_DIR/Logs"
CLOSE=cancel run_orvinst install 0x1A2B
record_run "install 0x1A2B, closed with cancel"
record_dialog
record "Logs: $(cat "$SETUP_DIR/Logs")"
expect "Logs a file"

# Canaries named after system DLLs beside the installer (its folder is the current directory
# too), and Wine told to prefer such native copies, which restores Windows' search order for
# DLLs that are not known DLLs. A canary loaded leaves "NAME.loaded" beside it.
for dll in version.dll winspool.drv uxtheme.dll; do
  cp "$ORVINST_TOOLS/canary.dll" "$SETUP_DIR/$dll"
done
export WINEDLLOVERRIDES="version,winspool.drv,uxtheme=n,b;winedbg.exe=d"
prefix_restart
run_orvinst install 123456
record_run "install 123456"
record_dialog
orvinst uninstall
# Under Wine version.dll and uxtheme.dll are loaded by Wine's own user32 (it imports the one and
# draws windows with the other), found in the program's folder first even after the program
# restricted its search to the system directory; Windows' user32 imports no version.dll and
# keeps the process's DLL directories for its own loads. The installer's own loads (winspool.drv,
# and version.dll by its full path) take no canary: one without their functions would fail.
record "loaded: $(cd "$SETUP_DIR" && ls ./*.loaded | tr '\n' ' ')"
# The case must see a load: a plain load from the same folder takes the canary.
rm "$SETUP_DIR"/*.loaded
cp "$ORV_DIR/tools/orvdlg.exe" "$SETUP_DIR/probe.exe"
record "probe $(wine 'C:\orv\setup\probe.exe' load version.dll | tr -d '\r'):" \
  "$(cd "$SETUP_DIR" && ls ./*.loaded)"
expect planted

case_end
