#!/usr/bin/env bash
# A reinstall over a print server's queues as a process, the way a setup program runs it:
# orvinst loads the simulated machine, runs, and saves it. Prints the CPU time (user + system)
# of each of RUNS runs and the least of them, which is the figure least disturbed by other
# work on the machine. Needs the optimised build (cmake --preset linux-sim-release).
#
#   bench/process_bench.sh [QUEUES [RUNS]]      (default 10000 whole queues, 5 runs)
set -euo pipefail
queues=${1:-10000}
runs=${2:-5}
build="$(cd "$(dirname "$0")/.." && pwd)/build/linux-sim-release"
orvsim="$build/sim/orvsim"
orvinst="$build/src/orvinst"
[[ -x $orvsim && -x $orvinst ]] || { echo "build linux-sim-release first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs GNU time (apt-get install time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ORVSIM_MACHINE="$work/machine"
"$orvsim" new >/dev/null
"$orvinst" install >/dev/null || [[ $? == 1 ]]
# Each queue as users leave them: shared, its own printing defaults, restricted permissions,
# a priority and printing hours, printer data under the driver's keys; one is the default.
"$orvsim" printer add-many "$queues" 'Queue %d' --driver 'Orvalstone printer' --port Orvalstone: \
  --subkey 'q-%d' --default $((queues / 2)) --share 'Q%d' --defaults 2,9 --restricted \
  --priority 7 --hours 480-1080 >/dev/null
cp -a "$ORVSIM_MACHINE" "$work/prepared"
echo "machine.json: $(stat -c %s "$ORVSIM_MACHINE/machine.json") bytes, $queues whole queues"

for ((i = 1; i <= runs; i++)); do
  rm -rf "$ORVSIM_MACHINE" && cp -a "$work/prepared" "$ORVSIM_MACHINE"
  /usr/bin/time -o "$work/time" -f '%U %S %M' "$orvinst" install >/dev/null 2>&1 || true
  read -r user sys rss < <(tail -1 "$work/time")  # after "Command exited with ..." if any
  awk -v i="$i" -v u="$user" -v s="$sys" -v r="$rss" \
    'BEGIN { printf "run %d: %.2f s CPU (%.2f user, %.2f system), %d KB\n", i, u + s, u, s, r }'
  echo "$user $sys" >>"$work/times"
done
awk '{ t = $1 + $2; if (NR == 1 || t < best) best = t } END { printf "least: %.2f s CPU\n", best }' \
  "$work/times"
