#!/bin/sh
# Writes a module-definition file that lists every function an import library declares, so a
# delay-load library can stand in for it.
# Usage: delay_def.sh NM IMPORT_LIBRARY DLL_NAME OUTPUT.def
set -eu
nm=$1 lib=$2 dll=$3 out=$4
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  "$nm" "$lib" | sed -n 's/^[0-9a-fA-F]* I __imp_//p' | sort -u
} >"$out.tmp"
# An import library that declares nothing means the tool or the library is wrong.
[ "$(wc -l <"$out.tmp")" -gt 2 ] || { echo "delay_def: no functions in $lib" >&2; exit 1; }
mv "$out.tmp" "$out"
