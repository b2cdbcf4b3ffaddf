#!/usr/bin/env bash
# Throughput of the korvane tool against korvane-sim: 100,000 rows of 100 bytes each way over
# loopback TCP and a pty for protocols v2, v2x and v3, each beside a plain byte copy through the same
# kind of path in the same run (share of the copy against its target) and beside v3's window ceiling
# (bench/window_copy: v3's frames and window with no work done on them), then paced to a 115200 bit/s
# line with and without latency, then what waiting costs. Prints Markdown tables; exits non-zero
# when data comes out wrong or a paced target is missed. Extra arguments go to the runner (for example --rows 20000).
# KORVANE_BUILD names the build folder (default build/native; built here when the tools are missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_BUILD:-$root/build/native}
if [ ! -x "$build/tools/cli/korvane" ] || [ ! -x "$build/tools/sim/korvane-sim" ] || [ ! -x "$build/bench/window_copy" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target korvane korvane-sim window_copy -j2
fi
export KORVANE_CLI=$build/tools/cli/korvane KORVANE_SIM=$build/tools/sim/korvane-sim KORVANE_WINDOW_COPY=$build/bench/window_copy
exec python3 "$root/tests/e2e/bench_runs.py" throughput "$@"
