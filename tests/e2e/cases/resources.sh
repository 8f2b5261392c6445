#!/usr/bin/env bash
# The log dialog's template and the manifest, read back from the executable by the system's
# resource calls, field by field.
source "$(dirname "$0")/../harness.sh"
case_begin resources

dump=$(wine "$ORVDLG_WIN" template "$ORVINST_WIN" 2>/dev/null | tr -d '\r')
# Class #128 is the system's Button class and #129 its Edit class.
expect_eq "dialog 101 (language 1033)" "$(grep '^dialog\|^item' <<<"$dump")" \
  "$(cat "$E2E_HERE/expected/log_dialog_template.txt")"

manifest=$(sed -n 's/^manifest: //p' <<<"$dump")
expect_no_line "manifest present" "$dump" '^manifest: missing$'
# One attribute of an element, whatever the attribute order.
attribute() {
  local element=$1 attribute=$2
  grep -oE "<$element( [^>]*)?>" <<<"$manifest" | grep -oE " $attribute=\"[^\"]*\"" |
    sed -E 's/^ [^=]*="(.*)"$/\1/' | tr '\n' ' ' | sed 's/ $//'
}
own_identity=$(grep -oE '<assemblyIdentity [^>]*>' <<<"$manifest" | grep -v 'Common-Controls')
cc_identity=$(grep -oE '<assemblyIdentity [^>]*>' <<<"$manifest" | grep 'Common-Controls')
field() { grep -oE " $2=\"[^\"]*\"" <<<"$1" | sed -E 's/^ [^=]*="(.*)"$/\1/'; }
expect_eq "manifest version" "$(attribute assembly manifestVersion)" "1.0"
expect_eq "identity version" "$(field "$own_identity" version)" "1.0.0.0"
expect_eq "identity architecture" "$(field "$own_identity" processorArchitecture)" "*"
expect_eq "identity name" "$(field "$own_identity" name)" "Orvalstone.Install"
expect_eq "identity type" "$(field "$own_identity" type)" "win32"
expect_eq "description" "$(grep -oE '<description>[^<]*</description>' <<<"$manifest")" \
  "<description>File viewer/translator</description>"
expect_eq "dependency count" "$(grep -c '<dependentAssembly>' <<<"$manifest")" 1
expect_eq "common controls type" "$(field "$cc_identity" type)" "win32"
expect_eq "common controls version" "$(field "$cc_identity" version)" "6.0.0.0"
expect_eq "common controls architecture" "$(field "$cc_identity" processorArchitecture)" "*"
expect_eq "common controls language" "$(field "$cc_identity" language)" "*"
expect_eq "common controls key token" "$(field "$cc_identity" publicKeyToken)" \
  "6595b64144ccf1df"
expect_eq "execution level" "$(attribute requestedExecutionLevel level)" "requireAdministrator"
expect_eq "uiAccess" "$(attribute requestedExecutionLevel uiAccess)" "false"

# The version resource of this build.
version=$(wine "$ORVCHECK_WIN" version "$ORVINST_WIN" 2>/dev/null | tr -d '\r')
expect_eq "product version" "$version" "version: 1.0.0.2300"

case_end
