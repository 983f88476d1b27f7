#!/usr/bin/env bash
# Builds and runs every test: the native build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the further legs
# below when their tools are on the machine.  Fails on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

section() { printf '\n=== %s\n' "$*"; }

run_leg() {
    local dir=$1
    shift
    cmake -S . -B "$BUILD/$dir" -DCMDKIT_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$BUILD/$dir" -j "$JOBS"
    (cd "$BUILD/$dir" && ctest --output-on-failure -j "$JOBS")
}

section "native tests"
run_leg test -DCMAKE_BUILD_TYPE=RelWithDebInfo

section "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_leg asan -DCMAKE_BUILD_TYPE=Debug -DCMDKIT_SANITIZE=ON

section "shared library: the program and the installed package"
cmake -S . -B "$BUILD/shared" -DCMDKIT_BUILD_TESTS=ON -DBUILD_SHARED_LIBS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD/shared" -j "$JOBS"
(cd "$BUILD/shared" && ctest --output-on-failure -R '^(driver|install_consumers)$')

section "Windows build (mingw-w64) under Wine"
wine=/usr/lib/wine/wine64
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    echo "Windows leg SKIPPED: x86_64-w64-mingw32-g++-posix is not installed (g++-mingw-w64-x86-64-posix)"
elif [ ! -x "$wine" ]; then
    echo "Windows leg SKIPPED: $wine is not installed (wine64)"
else
    cmake -S . -B "$BUILD/windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMDKIT_BUILD_TESTS=ON >/dev/null
    cmake --build "$BUILD/windows" -j "$JOBS"
    # One test at a time: the first start of the Wine prefix sets it up.
    (cd "$BUILD/windows" && ctest --output-on-failure)
fi

section "fuzzing smoke run (${FUZZ_SMOKE_SECONDS:-20}s per harness)"
FUZZ_SECONDS=${FUZZ_SMOKE_SECONDS:-20} ./fuzz/run.sh

section "benchmarks build and run once (the measurements themselves: make bench)"
if [ -f /usr/include/benchmark/benchmark.h ]; then
    cmake -S . -B "$BUILD/bench" -DCMAKE_BUILD_TYPE=Release -DCMDKIT_BUILD_TESTS=OFF \
        -DCMDKIT_BUILD_BENCH=ON >/dev/null
    cmake --build "$BUILD/bench" -j "$JOBS"
    "$BUILD/bench/bench/cmdkit_micro" --benchmark_min_time=0.001 >/dev/null
    echo "benchmarks: built and ran"
else
    echo "benchmarks SKIPPED: Google Benchmark is not installed (libbenchmark-dev)"
fi
