#!/usr/bin/env bash
# Many terminals at once: 1, 2, 4, 16 and 32 links in one process, one thread and one korvane-sim
# a link, over loopback TCP and ptys, 10,000 rows of 100 bytes each way on every link, every row
# checked; then 2 and 32 links again with every row logged, each link's log checked line by line.
# Prints Markdown tables with the targets beside the figures; exits 1 when data comes out wrong,
# 3 when a target is missed. Extra arguments go to both runs (for example --rows 2000 --repeat 1).
# KORVANE_BUILD names the build folder (default build/native; built here when a program is missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_BUILD:-$root/build/native}
if [ ! -x "$build/bench/link_scale" ] || [ ! -x "$build/tools/sim/korvane-sim" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target link_scale korvane-sim -j2
fi
status=0
"$build/bench/link_scale" --sim "$build/tools/sim/korvane-sim" "$@" || status=$?
logged=0
"$build/bench/link_scale" --sim "$build/tools/sim/korvane-sim" --links 2,32 --logs "$@" || logged=$?
# Wrong data (1) outranks a missed target (3).
if [ "$status" = 1 ] || [ "$logged" = 1 ]; then exit 1; fi
if [ "$status" != 0 ]; then exit "$status"; fi
exit "$logged"
