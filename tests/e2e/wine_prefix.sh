#!/usr/bin/env bash
# Wine prefixes for the tests that run the Windows build.
#
#   wine_prefix.sh template DIR        build a fresh prefix template in DIR (replacing it)
#   wine_prefix.sh clone TEMPLATE DIR  give one test its own copy of the template in DIR
#   wine_prefix.sh kill DIR            end the wineserver of the prefix DIR and wait for it
#
# The template behaves like a desktop Windows: windows exist without a display (the null
# graphics driver), the reported version is Windows 10, and the spooler starts at boot.
set -euo pipefail
wine_dir=${ORVINST_WINE_DIR:-/usr/lib/wine}
export WINEDEBUG=-all WINEPREFIX=${2:-}
# A crash must end the process, not open the debugger and wait for ever.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winedbg.exe=d}
# No display: the template's own windows need none (the null graphics driver).
unset DISPLAY WAYLAND_DISPLAY
wine() { "$wine_dir/wine64" "$@" >/dev/null 2>&1; }
wineserver() { "$wine_dir/wineserver" "$@" >/dev/null 2>&1 || true; }

case "${1:-}" in
  template)
    rm -rf "$2" "$2.partial"
    mkdir -p "$(dirname "$2")"
    export WINEPREFIX=$2.partial
    # No downloads of Wine's .NET or HTML engines while the prefix is made.
    WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" wine wineboot -i
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    wine winecfg -v win10
    wine reg add 'HKLM\System\CurrentControlSet\Services\Spooler' /v Start /t REG_DWORD /d 2 /f
    # The registry reaches its files only when the server exits.
    wineserver -k
    "$wine_dir/wineserver" -w
    grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" ||
      { echo "wine_prefix: the graphics setting did not reach $WINEPREFIX/user.reg" >&2; exit 1; }
    mv "$WINEPREFIX" "$2"
    ;;
  clone)
    # Everything is copied except the two big system directories, whose files are hard-linked:
    # the server rewrites system.reg and user.reg in place, which must never reach the template.
    [ -f "$2/system.reg" ] || { echo "wine_prefix: no template in $2" >&2; exit 1; }
    rm -rf "$3"
    mkdir -p "$3"
    tar -C "$2" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 -cf - . |
      tar -C "$3" -xf -
    for sub in system32 syswow64; do
      [ ! -d "$2/drive_c/windows/$sub" ] || cp -al "$2/drive_c/windows/$sub" "$3/drive_c/windows/"
    done
    ;;
  kill) wineserver -k && wineserver -w ;;
  *) echo "usage: $0 template DIR | clone TEMPLATE DIR | kill DIR" >&2 && exit 2 ;;
esac
