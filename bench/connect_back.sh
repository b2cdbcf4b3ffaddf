#!/usr/bin/env bash
# Kind-5 open timings: a korvane-sim process connecting back (50 opens), an in-process reader
# (200 opens), then once the full wait for a terminal that never connects back (about 15 s).
# KORVANE_BUILD names the build folder (default build/native; built here when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_BUILD:-$root/build/native}
if [ ! -x "$build/bench/connect_back_timing" ] || [ ! -x "$build/tools/sim/korvane-sim" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target connect_back_timing korvane-sim -j2
fi
timing=$build/bench/connect_back_timing
echo "korvane-sim --connect-back:"
"$timing" sim 50 "$build/tools/sim/korvane-sim"
echo "in process:"
"$timing" inproc 200
echo "nobody connects back:"
"$timing" nobody
