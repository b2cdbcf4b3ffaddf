#!/usr/bin/env bash
# Reliability of the korvane tool against korvane-sim: 10,000-row downloads and uploads of 100-byte
# rows through 0.1% corrupted bytes, 0.1% dropped bytes and a 2-second outage in the middle, for
# protocols v2 and v3. v3 must deliver every row intact, once, in order; v2 must either do so or
# fail with a result code, never leave a wrong table. Prints a Markdown table of runs and times.
# Extra arguments go to the runner (for example --seeds 3). KORVANE_BUILD as in throughput.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_BUILD:-$root/build/native}
if [ ! -x "$build/tools/cli/korvane" ] || [ ! -x "$build/tools/sim/korvane-sim" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target korvane korvane-sim -j2
fi
export KORVANE_CLI=$build/tools/cli/korvane KORVANE_SIM=$build/tools/sim/korvane-sim
# bench/corruption.sh runs the corruption mode through this script.
mode=faults
if [ "${1:-}" = "--mode" ]; then
  mode=$2
  shift 2
fi
exec python3 "$root/tests/e2e/bench_runs.py" "$mode" "$@"
