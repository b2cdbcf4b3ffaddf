#!/usr/bin/env bash
# Recovery from corrupted bytes, korvane against korvane-sim: 2,000-row protocol v3 downloads and
# uploads paced to a 115200 bit/s line through 0, 0.01% and 0.1% corrupted bytes over three seeds,
# each beside its least share of the line; then lines too bad to use (v3 at 0.2%, v2 at 1%), which
# must complete or end with the line-quality text within the bound. Exits non-zero when data comes
# out wrong or a target is missed. Extra arguments go to the runner (--seeds N, --paced-rows N,
# --bound S). KORVANE_BUILD as in throughput.sh.
exec bash "$(dirname "$0")/faults.sh" --mode corruption "$@"
