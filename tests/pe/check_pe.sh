#!/usr/bin/env bash
# Checks that an executable is what the setup program may start on a bare 64-bit Windows:
# PE32+ for x86-64, GUI subsystem, nothing imported but the system's own DLLs (the runtime is
# linked in), and the resources it needs at run time. Prints "FAIL: <reason>" for each problem
# and exits non-zero when there was one.
#
# Usage: check_pe.sh [--objdump PATH] [--no-static-import DLL]... [--resource TYPE:ID]...
#                    [--stripped DEBUGFILE] [--max-bytes N] EXE
#   --no-static-import DLL  the DLL may be imported only delay-loaded, never by the loader
#   --resource TYPE:ID      a resource (numeric type and id) that must exist in language 1033
#   --stripped DEBUGFILE    no debug sections: the debug information is in DEBUGFILE (beside
#                           the program), which the program names by debuglink
#   --max-bytes N           the file is at most N bytes
set -uo pipefail

objdump=x86_64-w64-mingw32-objdump
forbidden_static=()
resources=()
debug_file=
max_bytes=
while [ $# -gt 1 ]; do
  case "$1" in
    --objdump) objdump=$2; shift 2 ;;
    --stripped) debug_file=$2; shift 2 ;;
    --max-bytes) max_bytes=$2; shift 2 ;;
    --no-static-import) forbidden_static+=("$2"); shift 2 ;;
    --resource) resources+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: $0 [options] EXE" >&2; exit 2; }
exe=$1
[ -f "$exe" ] || { echo "FAIL: $exe does not exist"; exit 1; }

dump=$("$objdump" -p "$exe" 2>&1) || { echo "FAIL: $objdump cannot read $exe"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

grep -Eq '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)' <<<"$dump" || fail "not a PE32+ image"
"$objdump" -f "$exe" | grep -q 'architecture: i386:x86-64' || fail "not an x86-64 image"
subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$dump")
[ "$subsystem" = 00000002 ] || fail "subsystem $subsystem is not the Windows GUI (00000002)"

# The loader's imports and the delay-loaded ones appear in separate tables of the dump.
static_dlls=$(sed -n '/^The Import Tables/,/^The .* Tables\|^The .rsrc/p' <<<"$dump" |
  awk '/DLL Name:/ { print $3 }')
delay_dlls=$(sed -n '/^The Delay Import Tables/,/^The .* Tables\|^The .rsrc/p' <<<"$dump" |
  awk '/DLL Name:/ { print $3 }')
[ -n "$static_dlls" ] || fail "no import table found"

# The system's own DLLs, present on every Windows the package supports.
is_system_dll() {
  case "${1,,}" in
    kernel32.dll | user32.dll | advapi32.dll | shell32.dll | winspool.drv | version.dll | \
      msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) return 0 ;;
  esac
  return 1
}
for dll in $static_dlls $delay_dlls; do
  is_system_dll "$dll" || fail "imports $dll, which is not a system DLL"
done
for dll in "${forbidden_static[@]}"; do
  if grep -qix "$dll" <<<"$static_dlls"; then
    fail "imports $dll statically; it must be delay-loaded from the system directory"
  fi
done

# Resource directory: each entry's indentation after its offset gives its level (type, name,
# language); ids are printed in hexadecimal.
listing=$(sed -n '/^The .rsrc Resource Directory section/,$p' <<<"$dump" |
  sed -n 's/^[0-9a-f]*\( *\)Entry: ID: 0x\([0-9a-f]*\),.*/\1 \2/p' |
  while IFS= read -r line; do
    spaces=${line%%[! ]*}; id=$((16#${line##* }))
    case ${#spaces} in
      4) type=$id ;;
      6) name=$id ;;
      *) echo "$type:$name:$id" ;;
    esac
  done)
for want in "${resources[@]}"; do
  grep -qx "$want:1033" <<<"$listing" || fail "resource $want (language 1033) is missing"
done

if [ -n "$debug_file" ]; then
  sections=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
  for section in $(grep -E '^\.(debug|zdebug)' <<<"$sections"); do
    fail "carries the debug section $section"
  done
  # The section holds the file's name and a NUL, padded, then a CRC of the file.
  if grep -qx .gnu_debuglink <<<"$sections"; then
    link=$("$objdump" -s -j .gnu_debuglink "$exe" | awk '/^ [0-9a-f]+ / { print $2 $3 $4 $5 }' |
      tr -d '\n')
    want=$(printf '%s' "$debug_file" | od -An -tx1 | tr -d ' \n')00
    [[ $link == "$want"* ]] || fail "does not name $debug_file as its debug file"
  else
    fail "names no debug file (no .gnu_debuglink)"
  fi
  dir=$(dirname "$exe")
  if [ ! -f "$dir/$debug_file" ]; then
    fail "$debug_file is not beside it"
  elif ! "$objdump" -h "$dir/$debug_file" | grep -q ' \.debug_info '; then
    fail "$debug_file holds no debug information"
  fi
fi
if [ -n "$max_bytes" ]; then
  size=$(stat -c %s "$exe")
  [ "$size" -le "$max_bytes" ] || fail "$size bytes, over the $max_bytes allowed"
fi

[ $failures -eq 0 ] && echo "OK: $exe"
[ $failures -eq 0 ]
