#!/bin/sh
# korvane.dll traces the frames of an application when KORVANE_TRACE names a file: one client
# session through the registered DLL, then the trace must hold the v3 handshake both ways and
# the command's data frame, as the wire carried them.
#   frame_trace_test.sh <emulator...> -- <com_client_test.exe> <trace file, Unix path>
set -eu
emulator=""
while [ "$1" != "--" ]; do emulator="$emulator $1"; shift; done
shift
client=$1 trace=$2
rm -f "$trace"
KORVANE_TRACE="Z:$(printf '%s' "$trace" | tr / '\\\\')" $emulator "$client" --gtest_filter=ComClient.OstrelSessionV3
syn='> frame 1 SYN 15 crc-ok 55 F8 01 00 0F 00 E4 C0 00 FF 01 00 03 01 00'
grep -q -- "$syn" "$trace" || { echo "no handshake sent in $trace" >&2; exit 1; }
grep -q -- '< frame 1 SYN 15 crc-ok' "$trace" || { echo "no handshake answered in $trace" >&2; exit 1; }
# The link check: SOH --p in a record of 6 bytes.
grep -q -- '> frame 2 DATA 17 crc-ok 55 F8 02 00 11 00 E9 80 00 FF 03 06 00 01 2D 2D 70' "$trace" ||
  { echo "no link check in $trace" >&2; exit 1; }
echo "$(wc -l < "$trace") lines traced"
