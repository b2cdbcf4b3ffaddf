#!/usr/bin/env bash
# Rows/s of 100,000-row transfers through korvane.dll beside the link itself, both under Wine, in
# one run (bench/com_throughput.py). Builds what is missing: the native simulator (build/native)
# and the Windows tree (build/windows-x64), registers the DLL in that tree's Wine prefix.
# Extra arguments go to the runner (for example --rows 20000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$root/build/native
windows=$root/build/windows-x64
if [ ! -x "$native/tools/sim/korvane-sim" ]; then
  cmake --preset native -S "$root" >/dev/null
  cmake --build "$native" --target korvane-sim -j2
fi
if [ ! -f "$windows/tests/windows/com/bench/com_bench.exe" ]; then
  cmake --preset windows-x64 -S "$root" >/dev/null
  cmake --build "$windows" --target com_bench korvane -j2
fi
emulator=("$root/cmake/wine-run.sh" "$windows/wineprefix")
export LC_ALL=ru_RU.UTF-8
"${emulator[@]}" regsvr32 /s "$windows/bin/korvane.dll"
exec python3 "$root/bench/com_throughput.py" --bench "$windows/tests/windows/com/bench/com_bench.exe" \
  --sim "$native/tools/sim/korvane-sim" --emulator "${emulator[@]}" "$@"
