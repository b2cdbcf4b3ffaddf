#!/usr/bin/env bash
# The main job, end to end: the terminal simulator with the sample tables, and the command-line
# tool against it over loopback TCP (protocol v3) and over a pseudo-terminal (protocol v2):
# identity, a journal downloaded to a CSV file, goods uploaded and processed by the terminal.
# Where Wine and the mingw-w64 tools are installed, the same jobs then run the product's own way:
# korvane.dll registered in a private Wine prefix, driven by the sample VBScripts through Zyl.Ostrel2.
#   KORVANE_WINDOWS_BUILD   the Windows build folder (default build/windows-x64)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/native"
WINDOWS_BUILD=${KORVANE_WINDOWS_BUILD:-$ROOT/build/windows-x64}
DEMO_PREFIX="$ROOT/build/demo-wineprefix"
cd "$ROOT"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q 'install ok installed' || need+=(libgtest-dev libgmock-dev)
if [ "${#need[@]}" -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

echo "== building korvane and korvane-sim"
cmake --preset native >/dev/null
cmake --build "$BUILD" -j2 --target korvane korvane-sim >/dev/null
CLI="$BUILD/tools/cli/korvane"
SIM="$BUILD/tools/sim/korvane-sim"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/korvane-demo.XXXXXX")
SIM_PID=""
WINE_UP=0
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  [ "$WINE_UP" -eq 1 ] && WINEPREFIX="$DEMO_PREFIX" wineserver -k 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
export KORVANE_LOG_DIR="$WORK/logs"

# Shows a CSV file of the terminal's charset on this screen.
show() { iconv -f CP1251 -t "$(locale charmap 2>/dev/null | sed 's/ANSI_X3.4-1968/UTF-8/')" "$1" | head -n "${2:-5}" | sed 's/^/    /'; }

# Starts the simulator on a fresh copy of the sample tables; waits for its first line.
start_sim() {
  rm -rf "$WORK/terminal"
  cp -r "$ROOT/samples/data" "$WORK/terminal"
  "$SIM" "$@" --data "$WORK/terminal" --journal "$WORK/journal.txt" --timeout 120 >"$WORK/sim.out" 2>"$WORK/sim.err" &
  SIM_PID=$!
  for _ in $(seq 100); do
    [ -s "$WORK/sim.out" ] && break
    sleep 0.05
  done
  head -n 1 "$WORK/sim.out"
}

stop_sim() {
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=""
}

run_jobs() {
  local port=$1
  echo "-- korvane info"
  "$CLI" --port "$port" info | sed 's/^/    /'
  echo "-- korvane recv journal -o journal.csv"
  "$CLI" --port "$port" recv journal -o "$WORK/journal.csv"
  echo "   first rows of journal.csv (PC side):"
  show "$WORK/journal.csv" 3
  echo "-- korvane send goods samples/data/goods.csv --oper-id 7"
  "$CLI" --port "$port" send goods "$ROOT/samples/data/goods.csv" --oper-id 7
  echo "   what the terminal received and processed (terminal side, uploaded/goods.csv):"
  show "$WORK/terminal/uploaded/goods.csv" 3
  echo "-- korvane get-id operations"
  "$CLI" --port "$port" get-id operations | sed 's/^/    /'
}

echo
echo "== over loopback TCP, protocol v3"
line=$(start_sim --listen 127.0.0.1:0 --protocol v3)
echo "   simulator: $line"
port=$(sed -nE 's/.*listening on ([0-9.]+:[0-9]+).*/\1/p' <<<"$line")
run_jobs "LAN:$port"
stop_sim

echo
echo "== over a pseudo-terminal, protocol v2"
line=$(start_sim --pty --protocol v2)
echo "   simulator: $line"
dev=$(grep -oE '/dev/pts/[0-9]+' <<<"$line" | head -n 1)
run_jobs "$dev"
stop_sim

# Runs a Windows program in the demo's own prefix. Russian locale: Wine's ANSI code page is then
# 1251, the terminal's.
win() {
  local lang=()
  locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8' && lang=(LC_ALL=ru_RU.UTF-8)
  env "${lang[@]}" WINEPREFIX="$DEMO_PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d" wine "$@"
}

# A Linux path as Wine sees it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A sample script of samples/scripts; the script host writes the console's code page, 866.
run_sample() {
  local script=$1
  shift
  echo "-- cscript $script $*"
  win cscript.exe //nologo "$(winpath "$ROOT/samples/scripts/$script")" "$@" | iconv -c -f CP866 -t UTF-8 | sed 's/^/    /'
}

windows_jobs() {
  local tool missing=()
  for tool in wine x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-widl; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ -d /usr/include/wine/wine/windows ] || missing+=(libwine-dev)
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== korvane.dll under Wine: skipped, not installed: ${missing[*]} (bash scripts/test.sh installs them)"
    return 0
  fi
  echo "== korvane.dll under Wine: the sample VBScripts through Zyl.Ostrel2, loopback TCP, protocol v3"
  cmake --preset windows-x64 -B "$WINDOWS_BUILD" >/dev/null
  cmake --build "$WINDOWS_BUILD" -j2 --target korvane >/dev/null
  mkdir -p "$DEMO_PREFIX"
  echo "   Wine prefix $DEMO_PREFIX (made once, about 15 s), regsvr32 korvane.dll"
  WINEPREFIX="$DEMO_PREFIX" wineserver -p </dev/null >/dev/null 2>&1
  WINE_UP=1
  win wineboot -i >/dev/null 2>&1
  win regsvr32 /s "$(winpath "$WINDOWS_BUILD/bin/korvane.dll")"
  line=$(start_sim --listen 127.0.0.1:0 --protocol v3)
  echo "   simulator: $line"
  port=LAN:$(sed -nE 's/.*listening on ([0-9.]+:[0-9]+).*/\1/p' <<<"$line")
  run_sample terminal_info.vbs "$port"
  run_sample download_journal.vbs "$port" "$(winpath "$WORK/journal-com.csv")"
  echo "   first rows of journal-com.csv (PC side):"
  show "$WORK/journal-com.csv" 3
  run_sample upload_goods.vbs "$port" "$(winpath "$ROOT/samples/data/goods.csv")" 9
  echo "   what the terminal received and processed (terminal side, uploaded/goods.csv):"
  show "$WORK/terminal/uploaded/goods.csv" 3
  stop_sim
}

echo
windows_jobs

echo
echo "== what the terminal saw (simulator journal, last lines)"
tail -n 8 "$WORK/journal.txt" | iconv -f CP1251 -t UTF-8 | sed 's/^/    /'
echo
echo "demo finished"
