#!/usr/bin/env bash
# Builds and runs every test tier: the simulated machine (unit, contract, sim), then the
# real orvinst.exe cross-built with mingw-w64 (its checks, and the contract tests under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/deps.sh" "${SIM_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
cd "$root"
jobs=$(nproc)

echo "== linux-sim =="
cmake --preset linux-sim >/dev/null
cmake --build --preset linux-sim -j "$jobs"
ctest --preset linux-sim -j "$jobs"
"$root/tests/fuzz/run.sh"

echo "== windows =="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows
