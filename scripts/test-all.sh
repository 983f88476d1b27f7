#!/usr/bin/env bash
# `make test`: installs what is missing (scripts/setup.sh), then builds and
# runs every test leg: the native build, the same tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, a shared-library build, the three Windows
# builds under Wine, a short fuzzing run and one run of the benchmarks.
# Build output goes to a log per leg (compiler warnings and errors still
# show); the run ends with a table of the legs and fails if any leg failed.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
FUZZ_SMOKE_SECONDS=${FUZZ_SMOKE_SECONDS:-20}
# The builds below are not make's children, whatever called us.
unset MAKEFLAGS MAKELEVEL MFLAGS

./scripts/setup.sh || exit 1
mkdir -p "$BUILD"

legs=()
failed=0
record() { # name, result, tests, seconds, note
    legs+=("$(printf '%-24s %-8s %6s %6ss  %s' "$1" "$2" "$3" "$4" "$5")")
    [ "$2" = failed ] && failed=1
    printf '%s: %s%s\n' "$1" "$2" "${5:+ ($5)}"
}

# Configures and builds quietly; on failure shows the end of the log.
build_tree() { # dir, cmake arguments...
    local dir=$1
    shift
    mkdir -p "$BUILD/$dir"
    local log="$BUILD/$dir/build.log"
    if ! cmake -S . -B "$BUILD/$dir" "$@" >"$log" 2>&1; then
        tail -n 40 "$log"
        return 1
    fi
    cmake --build "$BUILD/$dir" -j "$JOBS" >>"$log" || {
        echo "(build log: $log)"
        return 1
    }
}

# Runs ctest in a built tree; prints the failures, sets $count and $note.
run_ctest() { # dir, ctest arguments...
    local dir=$1
    shift
    local log="$BUILD/$dir/ctest.log"
    (cd "$BUILD/$dir" && ctest --output-on-failure -j "$JOBS" "$@") >"$log" 2>&1
    local status=$?
    count=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    local skipped
    skipped=$(grep -c -E '^[[:space:]]+[0-9]+ - .*\(Skipped\)' "$log")
    note="${skipped} skipped"
    if [ $status -ne 0 ]; then
        sed -n '/The following tests FAILED/,$p' "$log"
        grep -E -B2 -A25 '\*\*\*(Failed|Timeout|Exception)' "$log" | head -n 200
        echo "(whole output: $log)"
    fi
    return $status
}

# One leg: build a tree, run its tests, record the outcome.
ctest_leg() { # name, dir, "cmake arguments", ctest arguments...
    local name=$1 dir=$2 configure=$3
    shift 3
    local start=$SECONDS
    count=0
    note=""
    echo "--- $name"
    # shellcheck disable=SC2086
    if build_tree "$dir" $configure && run_ctest "$dir" "$@"; then
        record "$name" passed "$count" $((SECONDS - start)) "$note"
    else
        record "$name" failed "${count:-0}" $((SECONDS - start)) "see $BUILD/$dir/*.log"
    fi
}

ctest_leg "native" test "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMDKIT_BUILD_TESTS=ON"

ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest_leg "asan+ubsan" asan "-DCMAKE_BUILD_TYPE=Debug -DCMDKIT_SANITIZE=ON -DCMDKIT_BUILD_TESTS=ON"

ctest_leg "shared library" shared \
    "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON -DCMDKIT_BUILD_TESTS=ON" \
    -L 'driver|install'

# The Windows legs share one Wine prefix, made once per run.
wineprefix=$(realpath -m "$BUILD/wineprefix")
windows_legs=(
    "windows x86_64 msvcrt|mingw-w64-x86_64|x86_64-w64-mingw32-g++-posix|/usr/lib/wine/wine64"
    "windows i686 msvcrt|mingw-w64-i686|i686-w64-mingw32-g++-posix|/usr/lib/wine/wine"
    "windows x86_64 ucrt|mingw-w64-x86_64-ucrt|x86_64-w64-mingw32-g++-win32|/usr/lib/wine/wine64"
)
prefix_ready=""
for leg in "${windows_legs[@]}"; do
    IFS='|' read -r name toolchain compiler wine <<<"$leg"
    dir="windows-${toolchain#mingw-w64-}"
    configure="-DCMAKE_TOOLCHAIN_FILE=cmake/$toolchain.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMDKIT_BUILD_TESTS=ON -DCMDKIT_WINEPREFIX=$wineprefix"
    not_run=""
    if ! command -v "$compiler" >/dev/null; then
        record "$name" skipped - 0 "$compiler is not installed"
        continue
    elif [ ! -x "$wine" ]; then
        not_run="$wine is not installed"
    elif ! "$wine" --version >/dev/null 2>&1; then
        # A kernel without 32-bit support cannot run the i386 loader.
        not_run="$wine cannot run on this kernel"
    fi
    if [ -n "$not_run" ]; then
        # Still built, so that the code compiles for the target; the tests
        # are listed when ctest runs, which needs the loader.
        start=$SECONDS
        echo "--- $name (build only)"
        # shellcheck disable=SC2086
        if build_tree "$dir" $configure -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST; then
            record "$name" built - $((SECONDS - start)) "not run: $not_run"
        else
            record "$name" failed - $((SECONDS - start)) "see $BUILD/$dir/build.log"
        fi
        continue
    fi
    if [ -z "$prefix_ready" ]; then
        start=$SECONDS
        echo "--- Wine prefix"
        if cmake/wine-run.sh "$wineprefix" /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1; then
            record "wine prefix" ready - $((SECONDS - start)) "$wineprefix, shared by the Windows legs"
        else
            record "wine prefix" failed - $((SECONDS - start)) "wineboot failed"
        fi
        prefix_ready=yes
    fi
    ctest_leg "$name" "$dir" "$configure"
done
# The Wine session's server lingers after the last test; it is ours to end.
if [ -n "$prefix_ready" ]; then
    WINEPREFIX=$wineprefix /usr/lib/wine/wineserver -k 2>/dev/null || true
fi

start=$SECONDS
echo "--- fuzzing"
if ! command -v clang++ >/dev/null; then
    record "fuzzing" skipped - 0 "clang++ is not installed"
elif FUZZ_SECONDS=$FUZZ_SMOKE_SECONDS ./fuzz/run.sh >"$BUILD/fuzz-smoke.log" 2>&1; then
    record "fuzzing" passed 3 $((SECONDS - start)) "${FUZZ_SMOKE_SECONDS}s per harness"
else
    tail -n 60 "$BUILD/fuzz-smoke.log"
    record "fuzzing" failed 3 $((SECONDS - start)) "see $BUILD/fuzz-smoke.log"
fi

start=$SECONDS
echo "--- benchmarks"
if [ ! -f /usr/include/benchmark/benchmark.h ]; then
    record "benchmarks" skipped - 0 "Google Benchmark is not installed (libbenchmark-dev)"
elif build_tree bench -DCMAKE_BUILD_TYPE=Release -DCMDKIT_BUILD_TESTS=OFF -DCMDKIT_BUILD_BENCH=ON &&
    "$BUILD/bench/bench/cmdkit_micro" --benchmark_min_time=0.001 >"$BUILD/bench/smoke.log" 2>&1; then
    record "benchmarks" passed 1 $((SECONDS - start)) "built and ran once; measure with make bench"
else
    record "benchmarks" failed 1 $((SECONDS - start)) "see $BUILD/bench/*.log"
fi

echo
printf '%-24s %-8s %6s %7s  %s\n' leg result tests time note
printf '%s\n' "${legs[@]}"
if [ $failed -ne 0 ]; then
    echo "make test: FAILED"
    exit 1
fi
echo "make test: every leg that ran passed (total ${SECONDS}s)"
