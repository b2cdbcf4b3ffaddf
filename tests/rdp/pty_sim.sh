#!/bin/sh
# korvane-sim on a pseudo-terminal, the serial terminal behind the road tests. The port name the
# library opens goes to <state>/device: the pty's path, or under Wine a COM name linked to the pty
# in the prefix's dosdevices folder.
#   pty_sim.sh start <state> <korvane-sim> <data> <protocol> [<wine-prefix> <com-name>]
#   pty_sim.sh stop <state>
set -eu

start_wait_steps=100   # 100 x 0.1 s for the simulator's pty to appear
lifetime_s=3600        # never outlives a forgotten cleanup by more than this

start() {
  state=$1 sim=$2 data=$3 protocol=$4 prefix=${5:-} com=${6:-}
  stop "$state"
  rm -rf "$state"
  mkdir -p "$state"
  cp -r "$data" "$state/data"
  if [ ! -x "$sim" ]; then
    echo "pty_sim: no simulator at $sim; the tests that need it skip" >&2
    return 0
  fi
  "$sim" --pty --link "$state/tty" --data "$state/data" --protocol "$protocol" --timeout "$lifetime_s" --quiet \
    </dev/null >"$state/out" 2>"$state/err" &
  echo $! >"$state/pid"
  steps=0
  until [ -L "$state/tty" ]; do
    steps=$((steps + 1))
    if [ "$steps" -gt "$start_wait_steps" ] || ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
      echo "pty_sim: simulator did not start" >&2
      cat "$state/err" >&2
      exit 1
    fi
    sleep 0.1
  done
  if [ -n "$com" ]; then
    link="$prefix/dosdevices/$(echo "$com" | tr 'A-Z' 'a-z')"
    rm -f "$link"
    ln -s "$(readlink "$state/tty")" "$link"
    echo "$link" >"$state/com_link"
    echo "$com" >"$state/device"
  else
    echo "$state/tty" >"$state/device"
  fi
  echo "simulator $protocol on $(cat "$state/device") -> $(readlink "$state/tty")"
}

stop() {
  state=$1
  if [ -f "$state/com_link" ]; then
    rm -f "$(cat "$state/com_link")"
    rm -f "$state/com_link"
  fi
  [ -f "$state/pid" ] || return 0
  kill "$(cat "$state/pid")" 2>/dev/null || true
  rm -f "$state/pid" "$state/device"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) stop "$2" ;;
  *) echo "usage: $0 start <state> <sim> <data> <protocol> [<prefix> <com>] | stop <state>" >&2; exit 2 ;;
esac
