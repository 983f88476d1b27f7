#!/usr/bin/env python3
"""The rows of bench/RESULTS.md on starting programs and capturing their
output: cmdkit against the floor of the same work done by hand, from
cmdkit_start_bench's JSON (repeated, interleaved at random, aggregates
only), and Python's subprocess.run(capture_output=True) as a peer.

    start_table.py BENCH_JSON BENCH_PROGRAM NOP_PROGRAM [CALLS_DIR ITERATIONS]

Each cell is the median of the repetitions with its spread (the coefficient
of variation); a ratio is cmdkit's median over the other column's.  With
CALLS_DIR (the `strace -c` output of `cmdkit_start_bench --calls MODE`, one
file calls-MODE.txt per mode) it adds the system calls each iteration
makes, which tell what cmdkit costs beyond its floor."""
import json
import statistics
import subprocess
import sys
import time

PEER_CALLS = 300
PEER_REPETITIONS = 7


def aggregates(path):
    """{(run name, aggregate): entry} for the medians and spreads."""
    with open(path) as f:
        report = json.load(f)
    table = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") == "aggregate":
            table[(entry["run_name"], entry["aggregate_name"])] = entry
    return table


def cell(table, name, field, scale, unit):
    median = table[(name, "median")][field] * scale
    spread = table[(name, "cv")][field] * 100
    return median, "%.1f %s (±%.0f%%)" % (median, unit, spread)


def python_peer(nop, bench):
    """Python's wall time per call, and cmdkit's measured in turn with it,
    medians of the repetitions."""
    walls, ours = [], []
    for _ in range(PEER_REPETITIONS):
        report = subprocess.run([bench, "--benchmark_filter=BM_cmdkit_capture/0/",
                                 "--benchmark_min_time=0.3", "--benchmark_format=json"],
                                capture_output=True, check=True).stdout
        ours.append(json.loads(report)["benchmarks"][0]["real_time"] * 1e-3)
        start = time.perf_counter()
        for _ in range(PEER_CALLS):
            subprocess.run([nop], capture_output=True, check=True)
        walls.append((time.perf_counter() - start) / PEER_CALLS * 1e6)
    return statistics.median(walls), statistics.median(ours)


def calls_per_iteration(path, iterations):
    """{system call: calls per iteration} from `strace -c` output."""
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3]) / iterations
    return counts


def calls_table(folder, iterations):
    """The calls of the caller per iteration that differ from the floor's,
    for a run and for a capture; once-only calls of the program's own
    start-up round to nothing."""
    lines = ["| system call | floor | cmdkit_run | capture floor | cmdkit_capture |",
             "| --- | --- | --- | --- | --- |"]
    modes = ["floor", "run", "capture-floor", "capture"]
    counts = {mode: calls_per_iteration("%s/calls-%s.txt" % (folder, mode), iterations)
              for mode in modes}
    names = sorted({name for mode in modes for name, n in counts[mode].items() if n >= 0.5})
    for name in names:
        per = [round(counts[mode].get(name, 0)) for mode in modes]
        if per[0] != per[1] or per[2] != per[3]:
            lines.append("| %s | %s |" % (name, " | ".join(str(n) for n in per)))
    totals = [round(sum(n for n in counts[mode].values() if n >= 0.5)) for mode in modes]
    lines.append("| all | %s |" % " | ".join(str(n) for n in totals))
    return lines


def row(measure, ours, theirs, goal=None, higher_is_better=False):
    ratio = ours[0] / theirs[0]
    verdict = ""
    if goal is not None:
        met = ratio >= goal if higher_is_better else ratio <= goal
        verdict = "%s %.2f: %s" % (">=" if higher_is_better else "<=", goal,
                                   "met" if met else "NOT met")
    return "| %s | %s | %s | %.2f | %s |" % (measure, ours[1], theirs[1], ratio, verdict)


def main():
    table = aggregates(sys.argv[1])
    bench, nop = sys.argv[2], sys.argv[3]
    us = 1e-3  # the JSON's times are in ns
    lines = [
        "| measure | cmdkit | against | ratio | goal |",
        "| --- | --- | --- | --- | --- |",
    ]
    for count in (1, 3):
        ours, floor = "BM_cmdkit_run/%d/real_time" % count, "BM_floor/%d/real_time" % count
        what = "start and wait, %d command%s" % (count, "" if count == 1 else "s")
        lines.append(row(what + ", wall", cell(table, ours, "real_time", us, "us"),
                         cell(table, floor, "real_time", us, "us"), 1.10))
        lines.append(row(what + ", the caller's CPU", cell(table, ours, "cpu_time", us, "us"),
                         cell(table, floor, "cpu_time", us, "us"), 1.05))
        lines.append(row(what + ", CPU with the programs'",
                         cell(table, ours, "with_children", 1e6, "us"),
                         cell(table, floor, "with_children", 1e6, "us"), 1.05))
    call, call_floor = "BM_cmdkit_capture/0/real_time", "BM_capture_call_floor/real_time"
    lines.append(row("capture of a trivial program, wall per call",
                     cell(table, call, "real_time", us, "us"),
                     cell(table, call_floor, "real_time", us, "us"), 1.10))
    lines.append(row("capture of a trivial program, the caller's CPU",
                     cell(table, call, "cpu_time", us, "us"),
                     cell(table, call_floor, "cpu_time", us, "us")))
    lines.append(row("capture of a trivial program, CPU with the program's",
                     cell(table, call, "with_children", 1e6, "us"),
                     cell(table, call_floor, "with_children", 1e6, "us")))
    size = 256 << 20
    throughput, throughput_floor = ("BM_cmdkit_capture/%d/real_time" % size,
                                    "BM_capture_throughput_floor/%d/real_time" % size)
    mib = 1.0 / (1 << 20)
    lines.append(row("capture of 256 MiB, throughput",
                     cell(table, throughput, "bytes_per_second", mib, "MiB/s"),
                     cell(table, throughput_floor, "bytes_per_second", mib, "MiB/s"),
                     0.90, higher_is_better=True))
    changes = "BM_environment_changes/100000/real_time"
    lines.append(row("start and wait with 100,000 environment changes over 1,000 names, wall",
                     cell(table, changes, "real_time", 1.0, "ms"), (300.0, "limit 300 ms"), 1.0))
    poll, poll_floor = ("BM_poll_one_of_many/1000/real_time", "BM_poll_floor/1000/real_time")
    lines.append(row("cmdkit_poll over 1,000 running pipelines, one ready, per call",
                     cell(table, poll, "real_time", us, "us"),
                     cell(table, poll_floor, "real_time", us, "us (poll(2), the same descriptors)"),
                     2.0))
    wall, ours = python_peer(nop, bench)
    lines.append(row("capture of a trivial program, wall per call, in turn with Python",
                     (ours, "%.1f us" % ours),
                     (wall, "Python subprocess.run %.1f us" % wall)))
    print("\n".join(lines))
    if len(sys.argv) > 5:
        print("\nSystem calls of the caller per start (`strace -c`, no `-f`), where "
              "cmdkit differs from its floor:\n")
        print("\n".join(calls_table(sys.argv[4], int(sys.argv[5]))))


if __name__ == "__main__":
    main()
