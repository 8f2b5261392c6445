#!/usr/bin/env bash
# Runs one Windows program under Wine the way the tests need it: in its own copy of the prefix
# template, bounded by a time limit, and with every Wine process of that copy ended afterwards.
# CTest uses it as the emulator of the Windows build. The exit status is the program's (its low
# 8 bits, as Wine gives it), 124 when the time limit ended it.
#
#   ORVINST_WINE_TEMPLATE  the template to copy; unset: run in WINEPREFIX as it is
#   ORVINST_WINE_CASES     where the copies go (default: the system's temporary directory)
#   ORVINST_WINE_TIMEOUT   seconds before the program is ended (default 240)
#   ORVINST_WINE_KEEP=1    keep the copy for a look inside after the run
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=${ORVINST_WINE_DIR:-/usr/lib/wine}
timeout=${ORVINST_WINE_TIMEOUT:-240}
export WINEDEBUG=-all WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winedbg.exe=d}
unset DISPLAY WAYLAND_DISPLAY
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARG]..." >&2; exit 2; }

if [ -n "${ORVINST_WINE_TEMPLATE:-}" ]; then
  mkdir -p "${ORVINST_WINE_CASES:=${TMPDIR:-/tmp}}"
  WINEPREFIX=$(mktemp -d "$ORVINST_WINE_CASES/run.XXXXXX")
  export WINEPREFIX
  "$here/wine_prefix.sh" clone "$ORVINST_WINE_TEMPLATE" "$WINEPREFIX" || exit 1
fi
: "${WINEPREFIX:?set WINEPREFIX or ORVINST_WINE_TEMPLATE}"
finish() {
  "$here/wine_prefix.sh" kill "$WINEPREFIX"
  [ -z "${ORVINST_WINE_TEMPLATE:-}" ] || [ "${ORVINST_WINE_KEEP:-0}" = 1 ] || rm -rf "$WINEPREFIX"
  [ "${ORVINST_WINE_KEEP:-0}" != 1 ] || echo "wine_run: prefix kept in $WINEPREFIX" >&2
}
trap finish EXIT

# The first command starts the server and the prefix's services; its output must not be piped.
"$wine_dir/wine64" cmd /c exit >/dev/null 2>&1 </dev/null
timeout --kill-after=5 "$timeout" "$wine_dir/wine64" "$@"
status=$?
[ $status -ne 124 ] || echo "wine_run: $1 did not finish in $timeout s" >&2
exit $status
