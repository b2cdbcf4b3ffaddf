#!/usr/bin/env bash
# korvane.exe and korvane-sim.exe under Wine, as an integrator uses them on one PC.
#   tools_test.sh <case> <bin folder> <COM test state> <sample tables> <samples/scripts> <work> <emulator...>
# Cases:
#   sim_dll   korvane-sim.exe --listen serves the registered korvane.dll through the sample scripts
#   cli_sim   korvane.exe against korvane-sim.exe: identity in Cyrillic (given as arguments, shown
#             as UTF-8), a download to a Cyrillic file name, an upload, a Cyrillic filter text and
#             link log name
#   cli_com   korvane.exe on a COM name that the prefix links to the native simulator's pty
#   sim_device korvane-sim.exe --device COM14 and korvane.exe on COM15, the two ends of a virtual
#             serial pair (socat's two linked ptys, as a null-modem emulator makes on Windows)
#   console   on a console (a pty that Wine makes one) with code page 866: a Russian argument and
#             message come out right, and the progress bar is drawn
#   errors    exact exit codes and messages: a missing port, options Windows refuses, ports
#   doctor    korvane.exe doctor finds the native simulator on COM16 (a pty in the prefix): its
#             protocol and identity in the table and in --json, a missing port's status, exit codes
# Paths reach the programs as Z: paths; their redirected output is UTF-8.
set -u
case_name=$1 bin=$2 state=$3 tables=$4 scripts=$5 work=$6
shift 6
emulator=("$@")
cli="$bin/korvane.exe"
sim="$bin/korvane-sim.exe"
checks=0
failures=0
sim_pid=""
pair_pid=""

fail() {
  failures=$((failures + 1))
  echo "FAIL $case_name: $*"
}

stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  sim_pid=""
  if [ -n "$pair_pid" ]; then
    kill "$pair_pid" 2>/dev/null
    wait "$pair_pid" 2>/dev/null
  fi
}
trap stop_sim EXIT
. "$(dirname "$0")/../../../../scripts/sim_port.sh"

# run <want status> <program> <arguments...>: output in $out (stdout) and $err (stderr), CRs dropped.
run() {
  local want=$1
  shift
  checks=$((checks + 1))
  "${emulator[@]}" "$@" </dev/null >"$work/stdout" 2>"$work/stderr"
  status=$?
  out=$(tr -d '\r' <"$work/stdout")
  err=$(tr -d '\r' <"$work/stderr")
  printf '%s\n' "$out" "$err" | sed '/^$/d; s/^/  > /'
  [ "$status" -eq "$want" ] || fail "$(basename "$1") ${*:2}: exit status $status, want $want"
}

# has <text> <where>: a line of $where (the text of out or err) is exactly <text>.
has() {
  checks=$((checks + 1))
  printf '%s\n' "$2" | grep -qxF -- "$1" || fail "no line '$1'"
}

same_file() {
  checks=$((checks + 1))
  cmp -s "$1" "$2" || fail "$1 differs from $2"
}

# start_sim <options...>: korvane-sim.exe on a free loopback port with its own copy of the tables;
# the port goes to $port.
start_sim() {
  rm -rf "$work/data"
  cp -r "$tables" "$work/data"
  "${emulator[@]}" "$sim" --listen 127.0.0.1:0 --data "Z:$work/data" --journal "Z:$work/journal.txt" \
    --timeout 120 --quiet "$@" </dev/null >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  port=$(sim_port "$work/sim.out" "$sim_pid") && return 0
  fail "korvane-sim.exe did not start: $(cat "$work/sim.err")"
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
case $case_name in
  sim_dll)
    start_sim --protocol v3
    lan="LAN:127.0.0.1:$port"
    run 0 cscript.exe //nologo "Z:$scripts/terminal_info.js" "$lan"
    out=$(printf '%s\n' "$out" | iconv -f CP866 -t UTF-8)
    has "program:      Ostrel 1.0.0.0" "$out"
    has "protocol:     3.00" "$out"
    run 0 cscript.exe //nologo "Z:$scripts/upload_goods.vbs" "$lan" "Z:$tables/goods.csv" 7
    has "5 goods rows uploaded; operation ID 7" "$(printf '%s\n' "$out" | iconv -f CP866 -t UTF-8)"
    same_file "$work/data/uploaded/goods.csv" "$tables/goods.csv"
    stop_sim
    checks=$((checks + 1))
    grep -q '^LOADED goods 5' "$work/journal.txt" || fail "the simulator's journal has no 'LOADED goods 5'"
    ;;
  cli_sim)
    start_sim --protocol v3 --model "Сканер Ёж;ИД-7" --program "Острел;2.1"
    lan="LAN:127.0.0.1:$port"
    run 0 "$cli" --port "$lan" info
    has "program:    Острел" "$out"
    has "version:    2.1" "$out"
    has "device:     Сканер Ёж" "$out"
    has "device id:  ИД-7" "$out"
    has "port:       $lan" "$out"
    run 0 "$cli" --port "$lan" --quiet recv journal -o "Z:$work/журнал.csv"
    same_file "$work/журнал.csv" "$tables/journal.csv"
    checks=$((checks + 1))
    [ -z "$(find "$work" -maxdepth 1 -name '*.partial-*')" ] || fail "a partial file was left"
    run 0 "$cli" --port "$lan" recv journal
    has "5 rows of journal written to standard output in ${err##* in }" "$err"
    checks=$((checks + 1))
    [ "$(cat "$work/stdout")" = "$(cat "$tables/journal.csv")" ] || fail "rows on standard output differ"
    run 0 "$cli" --port "$lan" --quiet send goods "Z:$tables/goods.csv"
    same_file "$work/data/uploaded/goods.csv" "$tables/goods.csv"
    run 0 "$cli" --port "$lan" --log "Z:$work/связь.log" filter-text goods "Молоко"
    checks=$((checks + 1))
    [ -s "$work/связь.log" ] || fail "no link log under its Russian name"
    stop_sim
    checks=$((checks + 1))
    iconv -f CP1251 -t UTF-8 "$work/journal.txt" | grep -q 'Молоко' ||
      fail "the filter text did not reach the terminal as Windows-1251"
    ;;
  console)
    start_sim --protocol v3
    # script gives the programs a pty, which Wine turns into a console; what the console shows
    # comes back in the locale's UTF-8 between escape sequences.
    command="chcp 866 >nul & Z:$cli --port LAN:127.0.0.1:$port recv journal -o Z:$work/journal.csv"
    command="$command & Z:$cli --port COM77 recv молоко"
    script -qc "$(printf '%q ' "${emulator[@]}") cmd /c '$command'" "$work/typescript" >/dev/null 2>&1
    # The bar is redrawn after a CR: each drawing on a line of its own.
    shown=$(sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' "$work/typescript" | tr '\r' '\n')
    printf '%s\n' "$shown" | sed '1d; $d; /^$/d; s/^/  > /'
    has "korvane: 'молоко' is not a table kind (0..9 or a name such as journal, goods)" "$shown"
    checks=$((checks + 1))
    printf '%s\n' "$shown" | grep -q '^recv journal \[#*\] 5/5 rows ' || fail "no progress bar on the console"
    same_file "$work/journal.csv" "$tables/journal.csv"
    ;;
  sim_device)
    prefix=${WINEPREFIX:-${emulator[1]}}
    rm -f "$prefix/dosdevices/com14" "$prefix/dosdevices/com15"
    socat PTY,link="$prefix/dosdevices/com14",rawer PTY,link="$prefix/dosdevices/com15",rawer </dev/null \
      >"$work/socat.log" 2>&1 &
    pair_pid=$!
    for _ in $(seq 50); do
      [ -L "$prefix/dosdevices/com14" ] && [ -L "$prefix/dosdevices/com15" ] && break
      sleep 0.1
    done
    cp -r "$tables" "$work/data"
    "${emulator[@]}" "$sim" --device COM14 --data "Z:$work/data" --timeout 120 --quiet </dev/null \
      >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
      grep -q '^device COM14' "$work/sim.out" && break
      sleep 0.1
    done
    run 0 "$cli" --port COM15 info
    has "program:    Ostrel" "$out"
    has "port:       COM15" "$out"
    run 0 "$cli" --port COM15 --quiet recv journal -o "Z:$work/journal.csv"
    same_file "$work/journal.csv" "$tables/journal.csv"
    run 0 "$cli" --port COM15 --quiet send goods "Z:$tables/goods.csv"
    same_file "$work/data/uploaded/goods.csv" "$tables/goods.csv"
    stop_sim
    rm -f "$prefix/dosdevices/com14" "$prefix/dosdevices/com15"
    ;;
  cli_com)
    if [ ! -f "$state/com13/port" ]; then
      echo "[  SKIPPED ] no native simulator on COM13"
      exit 0
    fi
    run 0 "$cli" --port COM13 info
    has "program:    Ostrel" "$out"
    has "port:       COM13" "$out"
    run 0 "$cli" --port COM13 --quiet recv journal -o "Z:$work/journal.csv"
    same_file "$work/journal.csv" "$tables/journal.csv"
    ;;
  errors)
    run 0 "$cli" --version
    has "korvane $(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../../../CMakeLists.txt")" "$out"
    # The library's own texts, from Windows-1251 to UTF-8.
    run 4 "$cli" --port COM77 info
    has "korvane: connect failed: result -4 [Подключение]: Ошибка открытия порта COM77 - Порт не найден (COM77)" "$err"
    run 4 "$cli" --port "LAN:127.0.0.1:1" beep
    checks=$((checks + 1))
    printf '%s\n' "$err" | grep -qF 'korvane: connect failed: result -4 [Подключение]: Ошибка открытия порта LAN:127.0.0.1:1 - ' ||
      fail "no connect failure for a closed TCP port"
    run 2 "$cli" --port COM77 recv молоко
    has "korvane: 'молоко' is not a table kind (0..9 or a name such as journal, goods)" "$err"
    run 1 "$cli" --port COM77 send goods "Z:$work/нет.csv"
    has "korvane: cannot read Z:$work/нет.csv: No such file or directory" "$err"
    run 0 "$cli" ports
    checks=$((checks + 1))
    [ "$(printf '%s\n' "$out" | tail -n 4 | cut -f 1 | tr '\n' ' ')" = "USB LAN:HOST:PORT ACTIVESYNC TSCLIENT:PORT " ] ||
      fail "the port list does not end with the name forms"
    run 2 "$cli" ports --watch
    has "korvane: ports --watch is not available on Windows; run 'korvane ports' again instead" "$err"
    run 1 "$sim" --pty
    has "korvane-sim: --pty is not available on Windows: use --listen 127.0.0.1:PORT, or --device COMn on one end of a virtual serial pair" "$err"
    run 1 "$sim" --device COM77
    has "korvane-sim: cannot open COM77: Файл не найден. (2)" "$err"
    ;;
  doctor)
    if [ ! -f "$state/com16/port" ]; then
      echo "[  SKIPPED ] no native simulator on COM16"
      exit 0
    fi
    # The device map's own ports are checked too: only the rows of the ports given are looked at.
    # No hand-held on USB here: "usb" is missing, named as given rather than as the driver's device.
    run 0 "$cli" --port COM16 --port COM77 --port usb doctor --quick
    has "PORT" "$(printf '%s\n' "$out" | head -n 1 | cut -d ' ' -f 1)"
    checks=$((checks + 1))
    printf '%s\n' "$out" | grep -qE '^COM16 +serial +terminal +3\.00 +Sklad 2\.1 on CT-60, ID A1234, job [0-9]+$' ||
      fail "no terminal row for COM16"
    checks=$((checks + 1))
    printf '%s\n' "$out" | grep -qE '^COM77 +serial +missing +-$' || fail "no missing row for COM77"
    has "there is no COM77: check the name with 'korvane ports'" "$(printf '%s\n' "$out" | sed 's/^ *//')"
    has "there is no usb: check the name with 'korvane ports'" "$(printf '%s\n' "$out" | sed 's/^ *//')"
    checks=$((checks + 1))
    printf '%s\n' "$err" | grep -qE '^[0-9]+ ports? checked in [0-9.]+ s; a terminal answered$' || fail "no summary"
    run 0 "$cli" --port COM16 --port COM77 doctor --json
    checks=$((checks + 1))
    printf '%s\n' "$out" | python3 -c '
import json, sys
rows = {r["port"]: r for r in map(json.loads, sys.stdin.read().splitlines())}
t, m = rows["COM16"], rows["COM77"]
got = (t["kind"], t["status"], t["protocol"], t["program"], t["version"], t["device"], t["device_id"],
       t["round_trip_ms"]["checks"], t["round_trip_ms"]["failed"], t["holders"], m["status"], m["error"], m["listed"])
want = ("serial", "terminal", "3.00", "Sklad", "2.1", "CT-60", "A1234", 30, 0, [], "missing", 2, False)
sys.exit(0 if got == want else "json: %r, want %r" % (got, want))
' 2>&1 || fail "doctor --json"
    run 1 "$cli" --port COM77 --quiet doctor
    run 2 "$cli" doctor extra
    ;;
  *)
    fail "unknown case"
    ;;
esac
[ "$failures" -eq 0 ] && echo "OK $checks checks" || echo "$failures of $checks checks failed"
exit "$failures"
