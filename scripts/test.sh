#!/usr/bin/env bash
# Installs what is needed, builds and runs every test: the whole suite, the
# whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer, the
# threaded tests under ThreadSanitizer, and each fuzz target for a short while.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVEL_BUILD_ROOT:-$root/build}
fuzz_seconds=${ORVEL_FUZZ_SECONDS:-20}
bash "$root/scripts/install-deps.sh" test

step() { printf '\n== %s\n' "$*"; }
passed=0
run_ctest() {
  local log; log=$(mktemp)
  ctest --test-dir "$1" --output-on-failure -j "$(nproc)" "${@:2}" | tee "$log"
  local count; count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
  passed=$((passed + ${count:-0}))
  rm -f "$log"
}

step "build"
bash "$root/scripts/build.sh" "$build/debug" -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "tests"
run_ctest "$build/debug"

step "build with AddressSanitizer and UndefinedBehaviorSanitizer"
bash "$root/scripts/build.sh" "$build/asan" -DCMAKE_BUILD_TYPE=Debug \
  -DORVEL_SANITIZE=address,undefined -DORVEL_BENCH=OFF
step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest "$build/asan" -E '^script\.'
# The whole program under a flood of failing connections, stopped mid-flood.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest "$build/asan" -R '^script\.shutdown_under_flood$'

step "build with ThreadSanitizer"
ORVEL_TARGETS=orvel_tests bash "$root/scripts/build.sh" "$build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEL_SANITIZE=thread -DORVEL_BENCH=OFF
step "threaded tests under ThreadSanitizer"
tsan_log=$(mktemp)
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
  "$build/tsan/tests/orvel_tests" --gtest_filter='*Threaded*:*Loopback*:*EndToEnd*' --gtest_brief=1 2>&1 | tee "$tsan_log"
count=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$tsan_log")
passed=$((passed + ${count:-0}))
rm -f "$tsan_log"

if compgen -G "$root/fuzz/*.cpp" >/dev/null; then
  step "fuzz targets (${fuzz_seconds}s each)"
  CC=clang CXX=clang++ bash "$root/scripts/build.sh" "$build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DORVEL_FUZZ=ON -DORVEL_SANITIZE=address,undefined \
    -DORVEL_TESTS=OFF -DORVEL_BENCH=OFF
  for source in "$root"/fuzz/*.cpp; do
    name=$(basename "$source" .cpp)
    corpus=$(mktemp -d)
    [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name/." "$corpus/"
    echo "-- $name"
    "$build/fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -n 3
    rm -rf "$corpus"
  done
fi
step "summary"
echo "all stages: ${passed} passed, 0 failed"
