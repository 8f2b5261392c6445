#!/usr/bin/env bash
# The sample setup's first install, silent, asked to make the new queue the default printer.
source "$(dirname "$0")/../harness.sh"
source "$(dirname "$0")/../setup_harness.sh"
setup_case_begin setup_install

# On Windows the setup ends with 0. Under Wine orvinst's install ends with 100 (AddPrinterW
# refuses the queue, harness.sh), so the setup takes its error path.
run_setup "$SETUP_EXE_WIN" /DEFAULTPRINTER
expect_setup_error "first install" "$WINE_ADD_PRINTER_ERROR"
expect_line "onChkDrv found no driver of the package" "$SAID" '^Installing Orvalstone: a first install'
expect_package_installed Orvalstone
# Nothing was the default printer, so the switch ran "def.set": Wine takes its half-made queue as
# the default.
expect_eq "the package's queue is the default printer" "$(state_lines default-printer)" \
  '"Orvalstone"'
for key in DisplayName DisplayVersion QuietUninstallString; do
  echo "$key: $(reg_value "$UNINSTALL_KEY" "$key")"
done >"$CASE_DIR/registration"
expect_eq "the setup's registration" "$(cat "$CASE_DIR/registration")" \
  "DisplayName: Orvalstone
DisplayVersion: 1.0.0.2300
QuietUninstallString: \"$UNINSTALLER_WIN\" /S"

case_end
