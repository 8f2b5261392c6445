#!/usr/bin/env bash
# Builds the command-line orvinst and orvsim on the simulated machine, makes a fresh default
# machine in .orvsim/ (in the working directory), holds SHIFT so the log dialog appears on
# the terminal, and runs "orvinst install".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/deps.sh" "${SIM_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
cmake --preset linux-sim -S "$root" >/dev/null
cmake --build "$root/build/linux-sim" --target orvinst orvsim
bin="$root/build/linux-sim"
"$bin/sim/orvsim" new --force
"$bin/sim/orvsim" shift down
set +e
"$bin/src/orvinst" install
code=$?
set -e
echo "orvinst install exited with $code"
