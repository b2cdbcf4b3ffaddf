#!/usr/bin/env bash
# The main job: build the native tools and show a terminal link end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build build/native -j2 --target unit_port_test >/dev/null
# Until the simulator and the command-line tool land: a self-check of the port layer over a
# pseudo-terminal pair and loopback TCP.
./build/native/tests/unit_port_test --gtest_brief=1 --gtest_filter='SerialPort.*:LanPort.*:ResolvePortKind*'
