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
export WINEDEBUG=-all
# A crash must end the process, not open the debugger and wait for ever.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winedbg.exe=d}

wine() { "$wine_dir/wine64" "$@"; }
wineserver() { "$wine_dir/wineserver" "$@"; }

build_template() {
  local dir=$1
  rm -rf "$dir" "$dir.partial"
  mkdir -p "$(dirname "$dir")"
  export WINEPREFIX=$dir.partial
  # No display and no downloads of Wine's .NET or HTML engines while the prefix is made.
  (
    unset DISPLAY WAYLAND_DISPLAY
    WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" wine wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wine winecfg -v win10 >/dev/null 2>&1
    wine reg add 'HKLM\System\CurrentControlSet\Services\Spooler' /v Start /t REG_DWORD \
      /d 2 /f >/dev/null 2>&1
  )
  # The registry reaches its files only when the server exits.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" || {
    echo "wine_prefix: the graphics driver setting did not reach $WINEPREFIX/user.reg" >&2
    exit 1
  }
  mv "$WINEPREFIX" "$dir"
}

# Everything is copied except the two big system directories, whose files are hard-linked:
# the server rewrites system.reg and user.reg in place, which must never reach the template.
clone_prefix() {
  local template=$1 dir=$2
  [ -f "$template/system.reg" ] || {
    echo "wine_prefix: no template in $template" >&2
    exit 1
  }
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -C "$template" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
    -cf - . | tar -C "$dir" -xf -
  local sub
  for sub in system32 syswow64; do
    if [ -d "$template/drive_c/windows/$sub" ]; then
      cp -al "$template/drive_c/windows/$sub" "$dir/drive_c/windows/$sub"
    fi
  done
}

kill_prefix() {
  export WINEPREFIX=$1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

case "${1:-}" in
  template) build_template "$2" ;;
  clone) clone_prefix "$2" "$3" ;;
  kill) kill_prefix "$2" ;;
  *)
    echo "usage: $0 template DIR | clone TEMPLATE DIR | kill DIR" >&2
    exit 2
    ;;
esac
