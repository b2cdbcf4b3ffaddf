#!/usr/bin/env bash
# The main job, end to end: the terminal simulator with the sample tables, and the command-line
# tool against it over loopback TCP (protocol v3) and over a pseudo-terminal (protocol v2):
# identity, a journal downloaded to a CSV file, goods uploaded and processed by the terminal.
# Then the same jobs the product's own way: korvane.dll registered in a private Wine prefix, driven
# by the sample VBScripts through Zyl.Ostrel2; and the installed product's: the x64 package installed
# into that prefix, its own simulator serving its own sample and korvane.exe, then removed.
# Run as root on Debian 12 it first installs what it needs (the packages of scripts/packages.sh);
# otherwise it names what is missing and skips the Windows half.
#   KORVANE_WINDOWS_BUILD   the Windows build folder (default build/windows-x64)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/native"
WINDOWS_BUILD=${KORVANE_WINDOWS_BUILD:-$ROOT/build/windows-x64}
DEMO_PREFIX="$ROOT/build/demo-wineprefix"
cd "$ROOT"

# shellcheck source=scripts/packages.sh
source "$ROOT/scripts/packages.sh"
source "$ROOT/scripts/sim_port.sh"
# What this machine lacks of the packages for the tools and for the Windows half; as root with
# apt-get they are installed (the first time, a few minutes), otherwise named.
WINDOWS_NOTE=""
if command -v dpkg-query >/dev/null; then
  native_missing=$(missing_packages "${NATIVE_PACKAGES[@]}")
  windows_missing=$(missing_packages "${WINDOWS_PACKAGES[@]}")
  if [ -n "$native_missing$windows_missing" ] || ! wine_locale_present; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
      echo "== installing the packages the demo needs (as scripts/test.sh does)"
      install_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    elif [ -n "$native_missing" ]; then
      echo "the demo needs: apt-get install $native_missing $windows_missing (run it as root to have them installed)" >&2
      exit 1
    else
      [ -n "$windows_missing" ] && WINDOWS_NOTE="apt-get install $windows_missing as root, or run the demo as root"
      wine_locale_present || WINDOWS_NOTE+="${WINDOWS_NOTE:+; }the $WINE_LOCALE locale (locale-gen) for the terminal's charset"
    fi
  fi
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
  # The previous simulator's output goes first: the new one empties it only once it runs.
  : >"$WORK/sim.out"
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

# Runs a build step with its output kept in the work folder; shows its end when it fails.
build_step() {
  "$@" >"$WORK/build.log" 2>&1 || {
    tail -n 40 "$WORK/build.log"
    return 1
  }
}

windows_jobs() {
  local tool missing=()
  for tool in wine x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-widl; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ -d /usr/include/wine/wine/windows ] || missing+=(libwine-dev)
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== korvane.dll under Wine: skipped, not installed: ${missing[*]} (${WINDOWS_NOTE:-run the demo as root on Debian 12 to have them installed})"
    return 0
  fi
  echo "== korvane.dll under Wine: the sample VBScripts through Zyl.Ostrel2, loopback TCP, protocol v3"
  [ -z "$WINDOWS_NOTE" ] || echo "   note: $WINDOWS_NOTE"
  echo "   building korvane.dll with mingw-w64 in $(basename "$WINDOWS_BUILD") (the first time, a few minutes)"
  build_step cmake --preset windows-x64 -B "$WINDOWS_BUILD"
  build_step cmake --build "$WINDOWS_BUILD" -j2 --target korvane
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

  echo
  if ! command -v wixl >/dev/null || ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
    echo "== the installer: skipped, not installed: wixl, g++-mingw-w64-i686-posix (${WINDOWS_NOTE:-run the demo as root on Debian 12 to have them installed})"
    return 0
  fi
  installer_jobs
}

# The installed product's road: the x64 package installed into the demo's prefix, its own simulator
# serving its own sample and tool, then removed.
installer_jobs() {
  echo "== the installer: korvane's x64 package installed into the same Wine prefix, run, removed"
  echo "   building it (target msi; it carries the 32-bit korvane.dll too, built the first time in build/windows-x86)"
  # The registration rows are made by a Windows program: in the running prefix.
  build_step env WINEPREFIX="$DEMO_PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d" \
    cmake --build "$WINDOWS_BUILD" -j2 --target msi
  local msi start status program_files installed='C:\Program Files\Korvane' dir
  msi=$(ls -t "$WINDOWS_BUILD"/korvane-*-x64.msi | head -n 1)
  program_files=$(win winepath -u 'C:\Program Files' 2>/dev/null | tr -d '\r')
  dir="$program_files/Korvane"
  echo "-- msiexec /i $(basename "$msi") /qn"
  start=$SECONDS
  status=0
  win msiexec /i "$(winpath "$msi")" /qn </dev/null >/dev/null 2>&1 || status=$?
  if [ "$status" -ne 0 ] || [ ! -f "$dir/korvane.dll" ]; then
    echo "    failed: msiexec exited $status"
    return 1
  fi
  echo "    installed in $((SECONDS - start)) s into $installed: $(cd "$dir" && ls -p | grep -v / | paste -sd' ')," \
    "samples/ ($(ls "$dir/samples" | wc -l) scripts)"
  echo "    Zyl.Ostrel2 is now served by $(progid_server Zyl.Ostrel2)"

  rm -rf "$WORK/terminal"
  cp -r "$ROOT/samples/data" "$WORK/terminal"
  : >"$WORK/sim.out"
  # exec: the process to stop later is Wine's own, not a shell around it.
  (exec env WINEPREFIX="$DEMO_PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d" wine \
    "$installed\\korvane-sim.exe" --listen 127.0.0.1:0 --data "$(winpath "$WORK/terminal")" --timeout 60 --quiet) \
    </dev/null >"$WORK/sim.out" 2>"$WORK/sim.err" &
  SIM_PID=$!
  if ! port=$(sim_port "$WORK/sim.out" "$SIM_PID"); then
    echo "    the installed korvane-sim.exe did not start: $(cat "$WORK/sim.err")"
  else
    port=127.0.0.1:$port
    echo "   installed simulator: $installed\\korvane-sim.exe, listening on $port"
    echo "-- cscript \"$installed\\samples\\terminal_info.vbs\" LAN:$port"
    win cscript.exe //nologo "$installed\\samples\\terminal_info.vbs" "LAN:$port" | iconv -c -f CP866 -t UTF-8 |
      tr -d '\r' | sed 's/^/    /'
    echo "-- \"$installed\\korvane.exe\" --port LAN:$port info"
    win "$installed\\korvane.exe" --port "LAN:$port" info | tr -d '\r' | sed 's/^/    /'
  fi
  stop_sim

  echo "-- msiexec /x $(basename "$msi") /qn"
  start=$SECONDS
  status=0
  win msiexec /x "$(winpath "$msi")" /qn </dev/null >/dev/null 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "    failed: msiexec exited $status"
    return 1
  fi
  echo "    removed in $((SECONDS - start)) s: $installed $([ -e "$dir" ] && echo "still there" || echo "gone")," \
    "Zyl.Ostrel2 $(progid_server Zyl.Ostrel2 >/dev/null && echo "still registered" || echo "no longer registered")"
}

# The DLL that serves a ProgID, from the registry; fails when the ProgID is not registered. (reg's
# headings are in the console's code page: bytes, hence LC_ALL=C.)
progid_server() {
  local clsid
  clsid=$(win reg query "HKCR\\$1\\CLSID" /ve 2>/dev/null | tr -d '\r' | grep -ao '{[0-9A-Fa-f-]*}') || return 1
  win reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve 2>/dev/null | tr -d '\r' |
    LC_ALL=C sed -n 's/.*REG_SZ[[:space:]]*//p' | grep -a .
}

echo
windows_jobs

echo
echo "== what the terminal saw (simulator journal, last lines)"
tail -n 8 "$WORK/journal.txt" | iconv -f CP1251 -t UTF-8 | sed 's/^/    /'
echo
echo "demo finished"
