#!/usr/bin/env bash
# The sweep's whole enumeration: from every start, every first run (each call of a repair and
# of an uninstall failed with each of its errors, once, three times and for the rest of the
# run, and the run killed at each call), and from the state each leaves every second run of
# both words, each followed by a healthy run. The test command runs a seeded sample of it;
# docs/sweep.md has this one's count and time.
#
# Environment: ORVINST_SWEEP_JOBS (default: the number of cores), ORVINST_SWEEP_SHARD=K/N (the
# K-th of N parts, K from 0, to spread it over machines), ORVINST_SWEEP_COUNT=1 (only count
# the chains), ORVINST_SWEEP_FIRST / ORVINST_SWEEP_SECOND (a number to draw a sample of that
# size with ORVINST_SWEEP_SEED instead of "all").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset linux-sim >/dev/null
cmake --build --preset linux-sim --target sweep_tests >/dev/null
export ORVINST_SWEEP_FIRST=${ORVINST_SWEEP_FIRST:-all}
export ORVINST_SWEEP_SECOND=${ORVINST_SWEEP_SECOND:-all}
export ORVINST_SWEEP_JOBS=${ORVINST_SWEEP_JOBS:-$(nproc)}
start=$(date +%s)
status=0
build/linux-sim/tests/sweep_tests || status=$?
echo "sweep-all: $(($(date +%s) - start)) s with $ORVINST_SWEEP_JOBS jobs"
exit $status
