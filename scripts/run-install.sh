#!/usr/bin/env bash
# Builds the command-line orvinst on the simulated machine and runs "orvinst install" on the
# default machine with SHIFT held, so the log dialog appears on the terminal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/deps.sh" "${SIM_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
cmake --preset linux-sim -S "$root" >/dev/null
cmake --build "$root/build/linux-sim" --target orvinst
cd "$root"
set +e
ORVSIM_SHIFT=1 "$root/build/linux-sim/src/orvinst" install
code=$?
set -e
echo "orvinst install exited with $code"
