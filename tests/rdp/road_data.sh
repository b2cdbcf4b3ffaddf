#!/bin/sh
# The sample tables with a journal of ROWS rows, for the Remote Desktop road tests.
#   road_data.sh <samples> <target-folder> <rows>
set -eu
samples=$1 target=$2 rows=$3
rm -rf "$target"
mkdir -p "$target"
cp "$samples"/*.csv "$target"/
# Barcode; a Cyrillic name in Windows-1251; unit; price.
awk -v n="$rows" 'BEGIN {
  for (i = 1; i <= n; i++) printf "46%011d;\324\356\342\340\360 %d;\370\362;%d,%02d\r\n", i, i, i % 1000, i % 100
}' >"$target/journal.csv"
