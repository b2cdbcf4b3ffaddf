#!/usr/bin/env bash
# Eight Zyl.Ostrel2 objects on eight multithreaded-apartment threads under Wine against eight
# native simulators, 10,000 rows each way on each (bench/com_scale.py). Builds what is missing: the
# native simulator (build/native) and the Windows tree (build/windows-x64), registers the DLL in
# that tree's Wine prefix. Extra arguments go to the runner (for example --objects 4 --rows 2000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=$root/build/native
windows=$root/build/windows-x64
if [ ! -x "$native/tools/sim/korvane-sim" ]; then
  cmake --preset native -S "$root" >/dev/null
  cmake --build "$native" --target korvane-sim -j2
fi
if [ ! -f "$windows/tests/windows/com/bench/com_scale.exe" ]; then
  cmake --preset windows-x64 -S "$root" >/dev/null
  cmake --build "$windows" --target com_scale korvane -j2
fi
emulator=("$root/cmake/wine-run.sh" "$windows/wineprefix")
export LC_ALL=ru_RU.UTF-8
"${emulator[@]}" regsvr32 /s "$windows/bin/korvane.dll"
exec python3 "$root/bench/com_scale.py" --bench "$windows/tests/windows/com/bench/com_scale.exe" \
  --sim "$native/tools/sim/korvane-sim" --emulator "${emulator[@]}" "$@"
