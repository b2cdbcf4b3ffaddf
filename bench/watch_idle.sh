#!/usr/bin/env bash
# Idle wake-ups of `korvane ports --watch`: the context switches of the waiting process over
# SECONDS (default 10), counted from outside. Nothing should wake it while no device changes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$root/build/native
seconds=${1:-10}
cli=$native/tools/cli/korvane
if [ ! -x "$cli" ]; then
  cmake --preset native -S "$root" >/dev/null
  cmake --build "$native" --target korvane -j2
fi

switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

"$cli" ports --watch --timeout "$((seconds + 2))" >/dev/null &
pid=$!
sleep 1
a=$(switches "$pid")
sleep "$seconds"
b=$(switches "$pid")
wait "$pid"
LC_ALL=C awk -v a="$a" -v b="$b" -v s="$seconds" \
  'BEGIN { printf "ports --watch: %d context switches in %d s (%.2f/s)\n", b - a, s, (b - a) / s }'
