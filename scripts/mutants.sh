#!/usr/bin/env bash
# Scores the tests by mutation: small faults put into the product's sources one at a time,
# each rebuilt and run against the linux-sim tests (see the tool's --help). The same seed
# gives the same mutants, so two versions of the tests compare on equal terms. Not part of
# the test command: about half an hour on two cores.
#   scripts/mutants.sh [--per-file N] [--seed S] [--csv FILE] [files...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${ORVINST_MUTANTS_TOOL:-$root/../shared/tools/mutants.py}
build=$root/build/mutants
cd "$root"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVINST_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
options=()
while [[ $# -gt 0 && $1 == --* ]]; do
  options+=("$1" "$2")
  shift 2
done
if [[ $# -eq 0 ]]; then
  # The platform layer is the simulator's seam and the dialog is checked under Wine.
  set -- $(ls src/*/*.cpp | grep -v '^src/platform/' | grep -v '/log_dialog\.cpp$')
fi
exec python3 "$tool" --build "$build" --per-file 3 "--ctest-args=-j $(nproc)" "${options[@]}" "$@"
