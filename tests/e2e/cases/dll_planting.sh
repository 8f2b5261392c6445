#!/usr/bin/env bash
# No DLL planting: canaries named after system DLLs lie beside the installer (its folder is also
# the current directory), Wine is told to prefer such native copies as Windows does for DLLs
# that are not known DLLs, and install and uninstall run. No canary may be loaded.
source "$(dirname "$0")/../harness.sh"
case_begin dll_planting

canaries=(version.dll winspool.drv uxtheme.dll)
for canary in "${canaries[@]}"; do cp "$ORVINST_TOOLS/canaries/$canary" "$SETUP_DIR/"; done
# Wine prefers its own copies of the DLLs it implements; native first restores the search
# order of Windows, under which a canary in the program's folder would win.
export WINEDLLOVERRIDES="version,winspool.drv,uxtheme=n,b;winedbg.exe=d"
prefix_restart

# An error brings the log dialog up, so the dialog's own DLLs are loaded too.
spooler_disable
for word in install uninstall; do
  run_orvinst_start "$word"
  log=$(wine "$ORVDLG_WIN" read "$ERROR_TITLE" 60000 ok 2>/dev/null | tr -d '\r')
  run_orvinst_wait
  expect_eq "$word: exit code" "$EXIT_CODE" 100
  expect_line "$word: the log dialog was shown" "$log" '^closed: yes$'
done
# The spooler library is the installer's own load: it must come from the system directory.
if [ -e "$SETUP_DIR/winspool.drv.loaded" ]; then
  fail "the canary winspool.drv beside orvinst.exe was loaded"
else
  note "ok: winspool.drv not loaded"
fi
# Wine differs here (the table in wine-notes.md names DLL search): its own user32 imports
# version.dll, and loads uxtheme.dll when it draws windows, both searched in the program's folder
# first under a native-first override, even after the program restricted its search to the
# system directory. Windows' user32 imports no version.dll, and the process's default DLL
# directories hold for the system's own loads. So under Wine these two canaries are loaded by
# Wine itself; the installer's own use of the version library is a load by full path from the
# system directory, which the run above survived (a canary has none of its functions).
for canary in version.dll uxtheme.dll; do
  if [ -e "$SETUP_DIR/$canary.loaded" ]; then
    note "ok: $canary loaded by Wine's own DLLs, as Wine does"
  else
    fail "$canary was not loaded: Wine no longer loads it itself; assert it is not loaded"
  fi
done

# The case must be able to see a load: a program in the same folder that loads version.dll with
# the default search takes the canary under these settings.
cp "$ORV_DIR/tools/orvdlg.exe" "$SETUP_DIR/probe.exe"
loaded=$(wine 'C:\orv\setup\probe.exe' load version.dll 2>/dev/null | tr -d '\r')
expect_eq "a plain load takes the canary" "$loaded" 'loaded: C:\orv\setup\version.dll'
[ -e "$SETUP_DIR/version.dll.loaded" ] || fail "the canary leaves no trace when it is loaded"

case_end
