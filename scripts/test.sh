#!/usr/bin/env bash
# Runs every test on a Debian 12 machine: installs what is missing, builds the native tree and
# runs its tests, then builds the Windows tree and runs its tests under Wine.
# Ends with the line "N passed, N failed" over all test runs; exit status 0 only when all passed.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=2
NATIVE_DIR="$ROOT/build/native"
ASAN_DIR="$ROOT/build/native-asan"
ASAN_BINARIES=(unit_log_test unit_port_test unit_frame_test unit_terminal_test unit_link_test unit_rdp_test unit_legacy_test)
TSAN_DIR="$ROOT/build/native-tsan"
TSAN_BINARIES=(unit_link_test unit_log_test unit_rdp_test unit_legacy_test unit_port_test)
FUZZ_SECONDS_CI=${FUZZ_SECONDS:-12}   # per target, every tests/fuzz/fuzz_*.cpp; scripts/fuzz.sh alone defaults to a longer run
WINDOWS_DIR="$ROOT/build/windows-x64"
WINDOWS_X86_DIR="$ROOT/build/windows-x86"   # built and inspected only: 32-bit programs cannot run here
# shellcheck source=scripts/packages.sh
source "$ROOT/scripts/packages.sh"
PACKAGES=("${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${CHECK_PACKAGES[@]}")

TOTAL_PASSED=0
TOTAL_FAILED=0
STAGE_LINES=()
FAILED_STAGES=0
WINESERVER_UP=0

say() { printf '\n=== %s\n' "$*"; }

# Adds a ctest run's counts to the totals. A run that produced no count (it did not start, or
# the build before it failed) counts as one failure so the total never hides it.
count_ctest() {
  local log=$1 line passed failed total
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
    return 1
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((total - failed))
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
  [ "$failed" -eq 0 ]
}

# run_ctest <build folder> [VAR=value ...]: the assignments go to the tests' environment.
run_ctest() {
  local dir=$1 log="$1/ctest-output.log"
  shift
  # shellcheck disable=SC2086
  env "$@" ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --no-tests=error ${CTEST_EXTRA_ARGS:-} 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  count_ctest "$log" && [ "$rc" -eq 0 ]
}

# Runs one stage and times it; a failed stage is recorded and its status returned.
stage() {
  local name=$1
  shift
  say "$name"
  local start=$SECONDS status=ok
  "$@" || status=FAILED
  local took=$((SECONDS - start))
  [ "$status" = ok ] || FAILED_STAGES=$((FAILED_STAGES + 1))
  STAGE_LINES+=("$(printf '%-28s %-7s %4ds' "$name" "$status" "$took")")
  [ "$status" = ok ]
}

# --- stages ----------------------------------------------------------------------------------

# C++ files match .clang-format. Files in scripts/format-exempt.txt predate it: only their lines
# changed since the last commit are checked (take a file off the list once it is formatted).
format_check() {
  local exempt="$ROOT/scripts/format-exempt.txt" files=() changed=() f out
  while IFS= read -r f; do
    if grep -qxF "$f" "$exempt"; then changed+=("$f"); else files+=("$f"); fi
  done < <(git -C "$ROOT" ls-files '*.cpp' '*.h')
  echo "${#files[@]} files checked whole, ${#changed[@]} on their uncommitted lines"
  clang-format --dry-run -Werror "${files[@]}" || return 1
  out=$(git -C "$ROOT" clang-format --diff --extensions cpp,h HEAD -- "${changed[@]}" 2>&1)
  if grep -q '^@@' <<<"$out"; then
    echo "$out"
    return 1
  fi
}

build_native() {
  quiet cmake --preset native -S "$ROOT" -DKORVANE_WERROR=ON &&
    quiet cmake --build "$NATIVE_DIR" -j "$JOBS"
}

test_native() { run_ctest "$NATIVE_DIR"; }

build_windows() {
  quiet cmake --preset windows-x64 -S "$ROOT" -DKORVANE_WERROR=ON &&
    quiet cmake --build "$WINDOWS_DIR" -j "$JOBS"
}

# The 32-bit korvane.dll (the Windows tests compare its exports, imports and type library with the
# 64-bit one's) and the 32-bit tools, which are built to keep them building.
build_windows_x86() {
  quiet cmake --preset windows-x86 -S "$ROOT" -DKORVANE_WERROR=ON &&
    quiet cmake --build "$WINDOWS_X86_DIR" -j "$JOBS" --target korvane korvane-cli korvane-sim
}

# Unit tests again with address and undefined-behaviour sanitizers.
build_asan() {
  quiet cmake --preset native-asan -S "$ROOT" -DKORVANE_WERROR=ON &&
    quiet cmake --build "$ASAN_DIR" -j "$JOBS" --target "${ASAN_BINARIES[@]}"
}

# run_unit_binaries <build folder> <binary...>: runs each unit test binary with the environment
# the caller set, adds its counts to the totals. A sanitizer report fails the binary even when
# every test in it passed.
run_unit_binaries() {
  local dir=$1 bin log ok=0 passed failed
  shift
  for bin in "$@"; do
    log="$dir/$bin.log"
    "$dir/tests/$bin" --gtest_brief=1 >"$log" 2>&1 || ok=1
    passed=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "$log" | tail -n 1)
    failed=$(sed -nE 's/^ *([0-9]+) FAILED TESTS?$/\1/p' "$log" | tail -n 1)
    if [ -z "$passed" ] && [ -z "$failed" ]; then failed=1; ok=1; fi
    if grep -qE '^(WARNING: ThreadSanitizer|==[0-9]+==ERROR: (Address|Leak)Sanitizer)|runtime error:' "$log"; then
      failed=$((${failed:-0} + 1))
      ok=1
    fi
    TOTAL_PASSED=$((TOTAL_PASSED + ${passed:-0}))
    TOTAL_FAILED=$((TOTAL_FAILED + ${failed:-0}))
    printf '%-20s %s passed, %s failed\n' "$bin" "${passed:-0}" "${failed:-0}"
    [ "${failed:-0}" -eq 0 ] || tail -n 60 "$log"
  done
  return "$ok"
}

test_asan() {
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_unit_binaries "$ASAN_DIR" "${ASAN_BINARIES[@]}"
}

# The unit suites that run threads, under the thread sanitizer.
build_tsan() {
  quiet cmake --preset native-tsan -S "$ROOT" -DKORVANE_WERROR=ON &&
    quiet cmake --build "$TSAN_DIR" -j "$JOBS" --target "${TSAN_BINARIES[@]}"
}

test_tsan() {
  TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1" run_unit_binaries "$TSAN_DIR" "${TSAN_BINARIES[@]}"
}

# A short run of every libFuzzer target; each clean target counts as one passed test.
fuzz_short() {
  local targets n
  targets=$(ls "$ROOT"/tests/fuzz/fuzz_*.cpp 2>/dev/null | wc -l)
  if FUZZ_SECONDS="$FUZZ_SECONDS_CI" bash "$ROOT/scripts/fuzz.sh"; then
    TOTAL_PASSED=$((TOTAL_PASSED + targets))
  else
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
    return 1
  fi
}

# One persistent wineserver for the whole run: each program then starts in milliseconds.
start_wine() {
  export WINEPREFIX="$WINDOWS_DIR/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
  mkdir -p "$WINEPREFIX"
  WINESERVER_UP=1
  # Creates the prefix on the first run (about 10 s), a no-op after that.
  quiet wineboot -i
  # Then a fresh server: right after the prefix is made its service manager can stay half started,
  # and every COM client would wait 10 s for the RPC service. The first server is left to exit by
  # itself, which saves the new prefix; killing it could lose that and start the set-up again.
  wineserver -w >/dev/null 2>&1
  wineserver -p </dev/null >/dev/null 2>&1
  # The first program under the new server starts the system services, which keep the output
  # pipes they inherit: start them here, on /dev/null, not under ctest's test discovery.
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

stop_wine() {
  if [ "$WINESERVER_UP" -eq 1 ]; then
    sh "$ROOT/tests/windows/com_echo_peer.sh" stop "$WINDOWS_DIR/tests/com_peers" >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
    WINESERVER_UP=0
  fi
}
trap stop_wine EXIT

test_windows() {
  start_wine || return 1
  # A Wine process now and then dies before the test starts (no output at all); one more try for
  # such a test keeps an emulator hiccup from failing the run. Real failures fail twice.
  CTEST_EXTRA_ARGS="--repeat until-pass:2" run_ctest "$WINDOWS_DIR" LC_ALL="$WINE_LOCALE"
  local rc=$?
  stop_wine
  return "$rc"
}

# Stages in order; a build that fails counts as one failed test, since its tests never ran.
# Further runs (sanitizer build, short fuzz runs) go here as stage functions of their own.
run_stages() {
  if ! stage "packages and locale" install_packages "${PACKAGES[@]}"; then
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
    return
  fi
  stage "format check" format_check || TOTAL_FAILED=$((TOTAL_FAILED + 1))
  if stage "native build" build_native; then
    stage "native tests" test_native
  else
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
  fi
  if stage "sanitizer build" build_asan; then
    stage "sanitizer unit tests" test_asan
  else
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
  fi
  if stage "thread sanitizer build" build_tsan; then
    stage "thread sanitizer tests" test_tsan
  else
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
  fi
  stage "fuzz (short)" fuzz_short
  stage "windows x86 build" build_windows_x86 || TOTAL_FAILED=$((TOTAL_FAILED + 1))
  if stage "windows build" build_windows; then
    stage "windows tests (wine)" test_windows
  else
    TOTAL_FAILED=$((TOTAL_FAILED + 1))
  fi
}

cd "$ROOT" || exit 1
run_stages
say "summary"
for line in "${STAGE_LINES[@]}"; do echo "$line"; done
echo "total                                $(printf '%4ds' "$SECONDS")"
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
[ "$FAILED_STAGES" -eq 0 ] && [ "$TOTAL_FAILED" -eq 0 ]
