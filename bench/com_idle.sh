#!/usr/bin/env bash
# Idle wake-ups of a WCEPortSet under Wine: the same waiting apartment thread without a set and
# with one, SECONDS each (default 10), counted from outside as the context switches of every
# thread of the Wine process. The difference between the two runs is the set's idle cost. Builds
# the Windows tree if needed and registers the DLL in its prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows=$root/build/windows-x64
seconds=${1:-10}
exe=$windows/tests/windows/com/bench/com_idle.exe
if [ ! -f "$exe" ]; then
  cmake --preset windows-x64 -S "$root" >/dev/null
  cmake --build "$windows" --target com_idle korvane -j2
fi
emulator=("$root/cmake/wine-run.sh" "$windows/wineprefix")
export LC_ALL=ru_RU.UTF-8
"${emulator[@]}" regsvr32 /s "$windows/bin/korvane.dll"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sum of voluntary and involuntary switches of every thread of process $1.
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

for mode in none set; do
  "${emulator[@]}" "$exe" "$((seconds + 2))" "$mode" >"$work/out" &
  launcher=$!
  until grep -q ready "$work/out" 2>/dev/null; do sleep 0.2; done
  # The Wine process of this run (Wine names its processes after the program; one run at a time).
  pid=$(ps -eo pid=,comm= | awk '$2 == "com_idle.exe" { print $1; exit }')
  [ -n "$pid" ] || { echo "no com_idle.exe process found" >&2; exit 1; }
  a=$(switches "$pid")
  threads=$(ls /proc/"$pid"/task | wc -l)
  sleep "$seconds"
  b=$(switches "$pid")
  wait "$launcher"
  LC_ALL=C awk -v m="$mode" -v a="$a" -v b="$b" -v s="$seconds" -v t="$threads" \
    'BEGIN { printf "%s: %d threads, %.1f context switches/s over %d s\n", m, t, (b - a) / s, s }'
done
