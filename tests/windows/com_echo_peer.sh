#!/bin/sh
# Serial line peers for the Windows tests under Wine. Each COM name becomes a link in the prefix's
# dosdevices folder to a pseudo-terminal whose far end echoes every byte back.
#   com_echo_peer.sh start <prefix> <state-folder> com9 [com10 ...]
#   com_echo_peer.sh stop <state-folder>
set -eu

link_wait_steps=50   # 50 x 0.1 s for socat to create its link

start() {
  prefix=${WINEPREFIX:-$1}
  state=$2
  shift 2
  if [ ! -d "$prefix/dosdevices" ]; then
    echo "com_echo_peer: no Wine prefix at $prefix (run wine once to create it)" >&2
    exit 1
  fi
  mkdir -p "$state"
  stop_peers "$state"
  for name in "$@"; do
    link="$prefix/dosdevices/$(echo "$name" | tr 'A-Z' 'a-z')"
    rm -f "$link"
    # Detached from the caller's output so ctest does not wait for it.
    socat PTY,link="$link",rawer PIPE </dev/null >"$state/$name.log" 2>&1 &
    echo "$! $link" >>"$state/peers"
    steps=0
    until [ -L "$link" ]; do
      steps=$((steps + 1))
      if [ "$steps" -gt "$link_wait_steps" ]; then
        echo "com_echo_peer: $name did not appear" >&2
        exit 1
      fi
      sleep 0.1
    done
    echo "$name -> $(readlink "$link")"
  done
}

stop_peers() {
  state=$1
  [ -f "$state/peers" ] || return 0
  while read -r pid link; do
    kill "$pid" 2>/dev/null || true
    rm -f "$link"
  done <"$state/peers"
  rm -f "$state/peers"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) stop_peers "$2" ;;
  *) echo "usage: $0 start <prefix> <state-folder> COMn... | stop <state-folder>" >&2; exit 2 ;;
esac
