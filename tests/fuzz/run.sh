#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a short while over its seed corpus;
# fails on any crash, leak or finding. Usage: run.sh [SECONDS] (default 20).
# The build goes to build/fuzz (or FUZZ_BUILD_DIR); new inputs go to a scratch corpus there,
# never into the seeds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-20}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}

echo "== fuzz =="
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2

for target in pending_renames queue_record; do
  scratch="$build/corpus/$target"
  mkdir -p "$scratch" "$build/artifacts"
  "$build/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/${target}-" "$scratch" "$here/corpus/$target"
done
