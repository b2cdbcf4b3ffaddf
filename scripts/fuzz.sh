#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs each for a bounded time, keeping a corpus
# per target under the build folder. Exits non-zero when any target finds a crash, leak or hang.
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_BUILD_DIR build folder (default build/fuzz)
#   FUZZ_TARGETS   space-separated target names (default: every tests/fuzz/fuzz_*.cpp)
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
per_input_timeout=10

targets="${FUZZ_TARGETS:-}"
if [ -z "$targets" ]; then
  for src in "$root"/tests/fuzz/fuzz_*.cpp; do
    [ -e "$src" ] && targets="$targets $(basename "$src" .cpp)"
  done
fi
if [ -z "$targets" ]; then
  echo "no fuzz targets found" >&2
  exit 1
fi

(cd "$root" && cmake --preset fuzz -B "$build" >/dev/null) || exit 1
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets || exit 1

failed=0
for name in $targets; do
  bin="$build/tests/fuzz/$name"
  corpus="$build/corpus/$name"
  artifacts="$build/artifacts"
  mkdir -p "$corpus" "$artifacts"
  echo "== $name: ${seconds}s"
  if "$bin" -max_total_time="$seconds" -timeout="$per_input_timeout" -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name-" "$corpus" >"$build/$name.log" 2>&1; then
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$name.log" | sed 's/^/   /'
    echo "   corpus: $(find "$corpus" -type f | wc -l) inputs"
  else
    failed=1
    echo "   FAILED, see $build/$name.log; reproducer in $artifacts/"
    grep -E "ERROR|SUMMARY|Test unit written" "$build/$name.log" | head -5 | sed 's/^/   /'
  fi
done
exit "$failed"
