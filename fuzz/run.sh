#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for FUZZ_SECONDS
# (default 300) on top of its seed corpus.  New inputs go to a corpus under
# the build folder, so the seeds in the repository change only by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath -m "${BUILD:-build}")
SECONDS_EACH=${FUZZ_SECONDS:-300}

if ! command -v clang++ >/dev/null; then
    echo "fuzzing SKIPPED: clang++ is not installed (clang, libclang-rt-14-dev)"
    exit 0
fi
CC=clang CXX=clang++ cmake -S . -B "$BUILD/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMDKIT_BUILD_TESTS=OFF -DCMDKIT_BUILD_FUZZ=ON >/dev/null
cmake --build "$BUILD/fuzz" -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_parse fuzz_compose fuzz_lookup

for harness in parse compose lookup; do
    work="$BUILD/fuzz/corpus-$harness"
    mkdir -p "$work"
    echo "--- fuzz_$harness for ${SECONDS_EACH}s"
    log="$BUILD/fuzz/fuzz_$harness.log"
    # -close_fd_mask=3 silences the library's traces; libFuzzer and the
    # sanitizers still report on their own copy of standard error.
    if ! "$BUILD/fuzz/fuzz_$harness" -max_total_time="$SECONDS_EACH" -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$BUILD/fuzz/crash-$harness-" \
        "$work" "$PWD/fuzz/corpus/$harness" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz_$harness FAILED: input saved as $BUILD/fuzz/crash-$harness-*"
        exit 1
    fi
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::new_units_added)' "$log" || true
done
echo "fuzzing: 3 passed, 0 failed"
