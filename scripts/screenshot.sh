#!/usr/bin/env bash
# Takes the screenshot of the log dialog in docs/: an install with the spooler disabled, drawn
# under Xvfb by Wine's X11 driver in a Wine virtual desktop (which draws the dialog's frame and
# title bar; Xvfb has no window manager to draw them), captured with ImageMagick's import.
# Usage (from a configured windows build): scripts/screenshot.sh BUILD_DIR OUTPUT.png
set -uo pipefail
"$(dirname "$0")/deps.sh" imagemagick xvfb || exit 1
build=$(cd "$1" && pwd)
output=$(realpath -m "$2")
export ORVINST_E2E_TEMPLATE=$build/wine/template ORVINST_E2E_CASES=$build/wine/e2e
export ORVINST_EXE=$build/src/orvinst.exe ORVINST_PACKAGE=$build/package/files
export ORVINST_TOOLS=$build/tests/e2e/tools
source "$(dirname "$0")/../tests/e2e/harness.sh"
[ -f "$ORVINST_E2E_TEMPLATE/system.reg" ] ||
  "$E2E_HERE/wine_prefix.sh" template "$ORVINST_E2E_TEMPLATE" || exit 1
case_begin screenshot

spooler_disable
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1
# A virtual desktop: Wine draws the windows' frames and captions itself there.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 860x520 /f >/dev/null 2>&1
"$E2E_HERE/wine_prefix.sh" kill "$WINEPREFIX"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  display=$DISPLAY; source "$1/harness.sh"; export DISPLAY=$display
  CASE_NAME=screenshot SETUP_DIR=$2 CASE_DIR=$3
  prefix_boot
  launch /dev/null "$ORVCHECK_WIN" run 90000 "$ORVINST_WIN install"
  dialog_up() { [ "$(tool orvcheck find "#32770" "$ERROR_TITLE")" != "found: none" ]; }
  wait_for dialog_up
  sleep 1
  import -window root -crop 860x520+0+0 +repage "$4"
  tool orvdlg read "$ERROR_TITLE" 10000 ok >/dev/null
  wait
  "$1/wine_prefix.sh" kill "$WINEPREFIX"
' _ "$E2E_HERE" "$SETUP_DIR" "$CASE_DIR" "$output" || fail "no screenshot"
[ -s "$output" ] || fail "no screenshot in $output"
case_end
