#!/usr/bin/env bash
# Protocol 1.00 throughput: 10,000 rows of 100 bytes each way, `korvane legacy` against
# `korvane-sim --protocol v1` on a pty, unpaced and at 115200 bit/s (bench/legacy_throughput.py).
# Extra arguments go to the runner (for example --rows 2000). KORVANE_BUILD as in throughput.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_BUILD:-$root/build/native}
if [ ! -x "$build/tools/cli/korvane" ] || [ ! -x "$build/tools/sim/korvane-sim" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target korvane korvane-sim -j2
fi
exec python3 "$root/bench/legacy_throughput.py" --cli "$build/tools/cli/korvane" --sim "$build/tools/sim/korvane-sim" "$@"
