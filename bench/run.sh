#!/usr/bin/env bash
# `make bench`: a Release build with the benchmarks, the micro-benchmarks,
# then the whole-run comparison, whose table is written to bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# The peers and the system-call count need these packages; as root they are
# installed, otherwise the table names each row they would have measured.
needed=(libbenchmark-dev libglib2.0-dev llvm-14-dev strace libuv1-dev ninja-build)
missing=()
if command -v dpkg >/dev/null; then
    for package in "${needed[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
fi
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "=== installing ${missing[*]}"
        # An index that cannot be fetched leaves the lists there are.
        DEBIAN_FRONTEND=noninteractive apt-get -y -qq update >/dev/null 2>&1 ||
            echo "bench: apt-get update failed for some index; going on with the lists there are"
        DEBIAN_FRONTEND=noninteractive apt-get -y -qq install --no-remove "${missing[@]}" >/dev/null ||
            echo "bench: could not install ${missing[*]}; their rows are named as missing"
    else
        echo "bench: ${missing[*]} not installed (apt-get install ${missing[*]}); their rows are named as missing"
    fi
fi

cmake -S . -B "$BUILD/bench" -DCMAKE_BUILD_TYPE=Release -DCMDKIT_BUILD_TESTS=OFF \
    -DCMDKIT_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD/bench" -j "$JOBS"

echo "=== micro-benchmarks"
"$BUILD/bench/bench/cmdkit_micro" --benchmark_min_time=0.2 | tee "$BUILD/bench/micro.txt"

echo "=== whole runs against the floor and the peers"
python3 bench/compare.py "$BUILD/bench" "$BUILD/bench/inputs" --results bench/RESULTS.md
{
    printf '\n## Micro-benchmarks\n\n'
    printf 'The parser traces the rest of the line at every token (`BM_parse_cmdline/1`;\n'
    printf '`/0` with tracing silenced); the compositions measure, allocate once and write.\n'
    printf 'Their cost at 10, 100 and 1,000 arguments is in the `/10`, `/100`, `/1000` rows;\n'
    printf 'the lookup rows are `/directories/traced`.\n\n'
    printf '```\n'
    grep -E '^(BM_|-|Benchmark)' "$BUILD/bench/micro.txt"
    printf '```\n'
} >>bench/RESULTS.md
echo "(table written to bench/RESULTS.md)"

echo "=== starting programs and capturing their output"
bin="$BUILD/bench/bench"
"$bin/cmdkit_start_bench" --benchmark_min_time=1 --benchmark_repetitions=7 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_out="$BUILD/bench/start.json" --benchmark_out_format=json | tee "$BUILD/bench/start.txt"
calls=()
if command -v strace >/dev/null; then
    mkdir -p "$BUILD/bench/calls"
    for mode in floor run capture-floor capture; do
        strace -c -o "$BUILD/bench/calls/calls-$mode.txt" "$bin/cmdkit_start_bench" --calls "$mode" 200
    done
    calls=("$BUILD/bench/calls" 200)
fi
{
    printf '\n## Starting programs and capturing their output\n\n'
    printf 'Start and wait: `cmdkit_run` given the bare name and a `PATH` of one absolute\n'
    printf 'entry, against the floor, which spawns the same absolute path with the same\n'
    printf 'attributes (close-from, signal defaults, empty mask) and waits.  Capture:\n'
    printf '`cmdkit_capture_pipeline` of a trivial program against spawning it with two\n'
    printf 'pipes, reading both to their end and waiting, and of a program writing 256 MiB\n'
    printf 'against spawning it with one pipe and reading into a growing buffer.  Each\n'
    printf 'cell is the median of 7 repetitions, interleaved at random, with its spread;\n'
    printf 'wall time, the caller'"'"'s own CPU time (its thread'"'"'s), and the CPU time of the\n'
    printf 'caller with the programs it ran, which are the same on both sides.\n\n'
    python3 bench/start_table.py "$BUILD/bench/start.json" "$bin/cmdkit_start_bench" \
        "$(realpath "$bin/cmdkit_nop")" "${calls[@]}"
    cat bench/start_notes.md
} >>bench/RESULTS.md

echo "=== cmdkit-run against its floor and a shell"
# Wall time of 300 runs of each, one after the other, best of 5 rounds.
release="$BUILD/release"
cmake -S . -B "$release" -DCMAKE_BUILD_TYPE=Release -DCMDKIT_BUILD_TESTS=OFF >/dev/null
cmake --build "$release" -j "$JOBS" --target cmdkit-run >/dev/null
nop=$(realpath "$bin/cmdkit_nop")
best_of() { # PATH for the command, command...
    local path=$1 best=""
    shift
    for _ in 1 2 3 4 5; do
        local start end
        start=$(date +%s%N)
        for _ in $(seq 300); do PATH=$path "$@" >/dev/null; done
        end=$(date +%s%N)
        local each=$(((end - start) / 300000))
        if [ -z "$best" ] || [ "$each" -lt "$best" ]; then best=$each; fi
    done
    echo "$best"
}
run_us=$(best_of "$(dirname "$nop")" "$(realpath "$release/cmdkit-run")" cmdkit_nop)
floor_us=$(best_of "$PATH" "$bin/cmdkit_spawn_floor" "$nop")
shell_us=$(best_of "$(dirname "$nop")" /bin/sh -c 'cmdkit_nop; :')
{
    printf '\n## cmdkit-run\n\n'
    printf '`cmdkit-run cmdkit_nop` (found on a `PATH` of one absolute entry) against a\n'
    printf 'program that spawns the same file with the same attributes and waits\n'
    printf '(`bench/spawn_floor.c`), and against `sh -c '"'"'cmdkit_nop; :'"'"'`, which forks\n'
    printf 'and execs as cmdkit-run does; per run, best of 5 rounds of 300 (`make bench`).\n\n'
    printf '| measure | cmdkit-run | against | ratio |\n| --- | --- | --- | --- |\n'
    awk -v r="$run_us" -v f="$floor_us" -v s="$shell_us" 'BEGIN {
        printf "| cmdkit-run nop | %d us | floor %d us | %.2f |\n", r, f, r / f
        printf "| cmdkit-run nop | %d us | sh -c %d us | %.2f |\n", r, s, r / s }'
} >>bench/RESULTS.md

echo "=== the start race: cmdkit, Rust, libuv and Python in turn"
sides=("cmdkit=$bin/cmdkit_spawn_race")
if command -v rustc >/dev/null; then
    # Rust's standard library alone, built with the rustc on the machine.
    rustc -O -o "$bin/rust_spawn_race" bench/spawn/rust.rs && sides+=("Rust=$bin/rust_spawn_race")
fi
[ -x "$bin/libuv_spawn_race" ] && sides+=("libuv=$bin/libuv_spawn_race")
sides+=("Python=python3 $(pwd)/bench/spawn/python.py")
{
    printf '\n## Starting programs: the peers in turn\n\n'
    printf 'Each side starts `cmdkit_nop` by its absolute path, 300 times a round, in 7\n'
    printf 'interleaved rounds: start and wait (`cmdkit_run_argv`; Rust `Command::status`,\n'
    printf '`uv_spawn` with the streams inherited, `subprocess.run`), and a capture of\n'
    printf 'output and errors with the input the null device (`cmdkit_capture_argv`;\n'
    printf '`Command::output`, `uv_spawn` with two pipes, `capture_output=True`).  Per\n'
    printf 'call: wall time, the calling thread'"'"'s CPU time, and the CPU time of the\n'
    printf 'process with the programs it ran.  Medians with their spreads (half the\n'
    printf 'range of the rounds); a peer is ahead when its median and spread stay below\n'
    printf 'cmdkit'"'"'s median less its spread (`bench/spawn/race.py`).\n\n'
    python3 bench/spawn/race.py "$nop" "${sides[@]}"
    cat bench/spawn/notes.md
} >>bench/RESULTS.md

echo "=== the jobs race: cmdkit-run -j against xargs -P and ninja"
{
    printf '\n## Many jobs at once\n\n'
    printf '2,000 jobs of `cmdkit_nop` (by its absolute path, its argument the job'"'"'s\n'
    printf 'number), 5 interleaved rounds: `cmdkit-run -j N -q -f` (each job captured\n'
    printf 'apart and written whole), `xargs -P N -n 1` (which keeps no output apart),\n'
    printf 'ninja on a build file of 2,000 edges running the same program, GNU parallel\n'
    printf 'where installed; and `cmdkit_run_all` against a floor that spawns the same\n'
    printf 'jobs at the same concurrency, captures both pipes of each and waits in one\n'
    printf '`poll(2)` (`bench/jobs`).  Wall time per job, median with its spread.\n\n'
    python3 bench/jobs/race.py "$nop" "$(realpath "$release/cmdkit-run")" \
        "$bin/cmdkit_jobs_run_all" "$bin/cmdkit_jobs_floor" "$BUILD/bench/jobs"
} >>bench/RESULTS.md
