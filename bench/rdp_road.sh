#!/usr/bin/env bash
# The Remote Desktop road beside direct TCP: 100,000 journal rows down and back up over protocol
# v3, 1000 rows (v2 blocks) over protocol v2, then the bridge idle and its close. Two korvane-sim
# processes on free loopback ports; prints Markdown.
# KORVANE_BUILD names the build folder (default build/native; built here when the tools are missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_BUILD:-$root/build/native}
if [ ! -x "$build/bench/rdp_road_timing" ] || [ ! -x "$build/tools/sim/korvane-sim" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target rdp_road_timing korvane-sim -j2
fi
work=$(mktemp -d)
fixture="$root/tests/windows/com/sim_fixture.sh"
cleanup() {
  sh "$fixture" stop "$work/v3" >/dev/null 2>&1 || true
  sh "$fixture" stop "$work/v2" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
sh "$root/tests/rdp/road_data.sh" "$root/samples/data" "$work/data100k" 100000
sh "$root/tests/rdp/road_data.sh" "$root/samples/data" "$work/data1k" 1000
sh "$fixture" start "$work/v3" "$build/tools/sim/korvane-sim" "$work/data100k" --protocol v3 >/dev/null
sh "$fixture" start "$work/v2" "$build/tools/sim/korvane-sim" "$work/data1k" --protocol v2 >/dev/null
"$build/bench/rdp_road_timing" "$(cat "$work/v3/port")" "$(cat "$work/v2/port")"
