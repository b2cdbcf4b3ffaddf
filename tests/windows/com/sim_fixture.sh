#!/bin/sh
# The native terminal simulator behind tests under Wine (and native ones that need a process): one
# process per fixture, on a free loopback port, with its own copy of the sample tables. The port
# goes to <state>/port; the tests read it there and skip when it is missing (no native build beside
# this one). With --connect-back first among the options it plays a docked terminal instead, which
# waits for the connect-back value in <state>/value; with --pty first it plays on a pty (--link
# names it, for instance as a COM name in a Wine prefix's dosdevices) whose path goes to <state>/port.
#   sim_fixture.sh start <state-folder> <korvane-sim> <samples> [simulator options...]
#   sim_fixture.sh stop <state-folder>
set -eu

start_wait_steps=100   # 100 x 0.1 s for the simulator to listen
lifetime_s=3600        # never outlives a forgotten cleanup by more than this

start() {
  state=$1 sim=$2 samples=$3
  shift 3
  stop "$state"
  rm -rf "$state"
  mkdir -p "$state"
  cp -r "$samples" "$state/data"
  if [ ! -x "$sim" ]; then
    echo "sim_fixture: no simulator at $sim; the tests that need it skip" >&2
    return 0
  fi
  ready='^listening on '
  if [ "${1:-}" = "--connect-back" ]; then
    shift
    set -- --connect-back "$state/value" "$@"
    ready='^connect-back '
  elif [ "${1:-}" = "--pty" ]; then
    ready='^pty '
  else
    set -- --listen 127.0.0.1:0 "$@"
  fi
  # Detached from the caller's output so ctest does not wait for it.
  "$sim" --data "$state/data" --journal "$state/journal.txt" --timeout "$lifetime_s" \
    --quiet "$@" </dev/null >"$state/out" 2>"$state/err" &
  echo $! >"$state/pid"
  steps=0
  until grep -q "$ready" "$state/out" 2>/dev/null; do
    steps=$((steps + 1))
    if [ "$steps" -gt "$start_wait_steps" ] || ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
      echo "sim_fixture: simulator did not start" >&2
      cat "$state/err" >&2
      exit 1
    fi
    sleep 0.1
  done
  if [ "$ready" = '^pty ' ]; then
    sed -n 's/^pty \([^ ]*\).*$/\1/p' "$state/out" | head -n 1 >"$state/port"
    echo "simulator $* on $(cat "$state/port")"
    return 0
  fi
  [ "$ready" = '^listening on ' ] || return 0
  sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$state/out" | head -n 1 >"$state/port"
  echo "simulator $* on port $(cat "$state/port")"
}

stop() {
  state=$1
  [ -f "$state/pid" ] || return 0
  kill "$(cat "$state/pid")" 2>/dev/null || true
  rm -f "$state/pid" "$state/port"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) stop "$2" ;;
  *) echo "usage: $0 start <state> <sim> <samples> [options...] | stop <state>" >&2; exit 2 ;;
esac
