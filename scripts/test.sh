#!/usr/bin/env bash
# The test command: installs what is missing, builds, runs every test, then
# runs the tests again under AddressSanitizer + UndefinedBehaviorSanitizer
# and the fuzz targets for a few seconds each.
#   scripts/test.sh           everything
#   scripts/test.sh --quick   the plain build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/deps.sh
jobs=$(nproc)

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 900

[ $quick -eq 1 ] && exit 0

echo "== sanitizer build and test"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORLANE_SANITIZE=ON \
      -DVORLANE_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 1800

if command -v clang++ >/dev/null; then
    echo "== fuzz targets"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORLANE_FUZZ=ON -DVORLANE_BENCH=OFF -DVORLANE_GUI=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs" --target vorlane_fuzzers
    for fuzzer in build-fuzz/fuzz/*_fuzzer; do
        [ -x "$fuzzer" ] || continue
        echo "-- $(basename "$fuzzer")"
        "$fuzzer" -max_total_time="${VORLANE_FUZZ_SECONDS:-10}" -rss_limit_mb=4096 \
            -print_final_stats=0 2>&1 | tail -n 2
    done
fi
echo "all tests passed"
