#!/usr/bin/env bash
# Builds and runs every test tier: the simulated machine (unit, contract, sim), the same
# under the sanitizers, the benchmarks built, then the real orvinst.exe cross-built with
# mingw-w64 (its checks, and the contract tests under Wine).
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

# The same tiers once more under AddressSanitizer and UndefinedBehaviorSanitizer (only the
# test programs and what they run are built).
echo "== linux-sim-asan =="
cmake --preset linux-sim-asan >/dev/null
cmake --build --preset linux-sim-asan -j "$jobs"
ctest --preset linux-sim-asan -j "$jobs"

# The benchmarks are built optimised, to be run by hand (docs/performance.md).
echo "== benchmarks (built, not run) =="
cmake --preset linux-sim-release >/dev/null
cmake --build --preset linux-sim-release -j "$jobs"

echo "== windows =="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows
