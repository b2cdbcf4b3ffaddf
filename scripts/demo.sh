#!/usr/bin/env bash
# The main job, end to end: the terminal simulator with the sample tables, and the command-line
# tool against it over loopback TCP (protocol v3) and over a pseudo-terminal (protocol v2):
# identity, a journal downloaded to a CSV file, goods uploaded and processed by the terminal.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/native"
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
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
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

echo
echo "== what the terminal saw (simulator journal, last lines)"
tail -n 8 "$WORK/journal.txt" | iconv -f CP1251 -t UTF-8 | sed 's/^/    /'
echo
echo "demo finished"
