#!/usr/bin/env bash
# Runs one integrator sample of samples/scripts under Wine's script host against the simulators of
# the COM fixtures, and checks its output, its exit status and the files it leaves, on success and
# on failure.
#   sample_test.sh <sample> <state folder> <sample tables> <work folder> <emulator...>
# The emulator runs Windows programs (cmake/wine-run.sh with the build's prefix). Linux paths reach
# the scripts as Z: paths.
set -u
sample=$1 state=$2 tables=$3 work=$4
shift 4
emulator=("$@")
name=$(basename "$sample")
checks=0
failures=0

fail() {
  failures=$((failures + 1))
  echo "FAIL $name: $*"
}

port_of() {
  if [ ! -f "$state/$1/port" ]; then
    echo "[  SKIPPED ] no simulator ($state/$1/port)" >&2
    return 1
  fi
  echo "LAN:127.0.0.1:$(cat "$state/$1/port")"
}

# run <expected exit status> <arguments...>: runs the sample; its output is in $out.
run() {
  want=$1
  shift
  checks=$((checks + 1))
  out=$("${emulator[@]}" cscript.exe //nologo "Z:$sample" "$@" 2>/dev/null)
  status=$?
  # The script host writes the console's code page, 866, into a pipe.
  printf '%s\n' "$out" | iconv -c -f CP866 -t UTF-8 | sed "s/^/  $name> /"
  [ "$status" -eq "$want" ] || fail "exit status $status, want $want"
}

# expect <text>: a line of the last run's output contains the text (fixed string, UTF-8).
expect() {
  checks=$((checks + 1))
  printf '%s\n' "$out" | iconv -c -f CP866 -t UTF-8 | tr -d '\r' | grep -qF -- "$1" || fail "no output line with '$1'"
}

same_file() {
  checks=$((checks + 1))
  cmp -s "$1" "$2" || fail "$1 differs from $2"
}

rm -rf "$work"
mkdir -p "$work"
case $name in
  terminal_info.*)
    v3=$(port_of samples) || exit 0
    run 0 "$v3"
    expect "program:      Ostrel 1.0.0.0"
    expect "device:       Terminal, ID 00000000"
    expect "protocol:     3.00"
    expect "operation ID: "
    silent=$(port_of silent) || exit 0
    run 1 "$silent"
    expect "cannot connect: result -7"
    ;;
  list_ports.*)
    run 0
    checks=$((checks + 1))
    [ "$(printf '%s\n' "$out" | tr -d '\r' | tail -n 2 | tr '\n' ' ')" = "USB ActiveSync " ] ||
      fail "the list does not end with USB, ActiveSync"
    ;;
  download_journal.*)
    # The integrators' guide shows the VBScript sample as its first listing: it must be this file.
    if [ "$name" = download_journal.vbs ]; then
      checks=$((checks + 1))
      guide=$(cd "$(dirname "$0")/../../../.." && pwd)/docs/integrators.md
      awk '/^```vbscript$/ { n++; next } /^```$/ && n == 1 { exit } n == 1' "$guide" | cmp -s - "$sample" ||
        fail "the first listing of docs/integrators.md is not $name"
    fi
    v3=$(port_of samples) || exit 0
    run 0 "$v3" "Z:$work/journal.csv"
    expect "5 journal rows saved to Z:$work/journal.csv"
    same_file "$work/journal.csv" "$tables/journal.csv"
    nojob=$(port_of nojob) || exit 0
    run 1 "$nojob" "Z:$work/nojob.csv"
    expect "prepare failed: result -101"
    checks=$((checks + 1))
    [ ! -e "$work/nojob.csv" ] || fail "a file was written after a failed download"
    # A terminal that announces 9 rows and ends after 5: the rows that came are not saved, and
    # the file of an earlier download stays as it was.
    short=$(port_of samples_short) || exit 0
    printf 'earlier\r\n' >"$work/short.csv"
    run 1 "$short" "Z:$work/short.csv"
    expect "download failed: result -6 [Выгрузка данных]"
    checks=$((checks + 1))
    [ "$(cat "$work/short.csv")" = "$(printf 'earlier\r\n')" ] && [ ! -e "$work/short.csv.partial" ] ||
      fail "a short download changed short.csv or left short.csv.partial"
    ;;
  upload_goods.*)
    v3=$(port_of samples) || exit 0
    rm -f "$state/samples/data/uploaded/goods.csv"
    run 0 "$v3" "Z:$tables/goods.csv" 7
    expect "5 goods rows uploaded; operation ID 7"
    same_file "$state/samples/data/uploaded/goods.csv" "$tables/goods.csv"
    run 1 "$v3" "Z:$work/missing.csv" 8
    expect "reading Z:$work/missing.csv failed: result -3"
    # A bad operation ID is refused before anything is sent.
    sessions=$(grep -c '^SESSION' "$state/samples/journal.txt")
    for bad in -1 7x 2147483648 ""; do
      run 2 "$v3" "Z:$tables/goods.csv" "$bad"
      expect "OPERATION_ID must be a whole number from 0 to 2147483647, not '$bad'"
    done
    checks=$((checks + 1))
    [ "$(grep -c '^SESSION' "$state/samples/journal.txt")" -eq "$sessions" ] || fail "a refused operation ID reached the terminal"
    ;;
  *)
    fail "no checks for this sample"
    ;;
esac
[ "$failures" -eq 0 ] && echo "OK $checks checks" || echo "$failures of $checks checks failed"
exit "$failures"
