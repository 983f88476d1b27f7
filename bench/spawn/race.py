#!/usr/bin/env python3
"""The start race of bench/RESULTS.md: cmdkit against Rust's
std::process::Command, libuv's uv_spawn and Python's subprocess.run, each
starting the same trivial program by its absolute path, in turn: start and
wait, and a capture of output and errors.  Every round runs each side once
with CALLS calls; each cell is the median of the rounds with its spread
(half their range, in percent of the median).

    race.py NOP SIDE=PROGRAM... [--rounds 7] [--calls 300]

A SIDE names a row's column (cmdkit, Rust, libuv, Python); its PROGRAM takes
`MODE CALLS NOP` and prints microseconds per call: wall, its own thread's
CPU, and CPU with the programs it ran (spawn/timing.h)."""
import argparse
import statistics
import subprocess

MEASURES = [("wall", 0), ("the caller's CPU", 1), ("CPU with the programs'", 2)]
MODES = [("run", "start and wait"), ("capture", "capture of output and errors")]


def measure(program, mode, calls, nop):
    command = program.split() + [mode, str(calls), nop]
    out = subprocess.run(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                         check=True, text=True).stdout
    return [float(x) for x in out.split()[-3:]]


def summary(values):
    median = statistics.median(values)
    spread = (max(values) - min(values)) / 2
    return median, spread


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("nop")
    parser.add_argument("sides", nargs="+")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=300)
    args = parser.parse_args()
    sides = [side.split("=", 1) for side in args.sides]
    results = {(name, mode): [] for name, _ in sides for mode, _ in MODES}
    for _ in range(args.rounds):
        for mode, _ in MODES:
            for name, program in sides:
                results[(name, mode)].append(measure(program, mode, args.calls, args.nop))
    names = [name for name, _ in sides]
    print("| measure | %s | peers ahead beyond the spreads |" % " | ".join(names))
    print("| --- | %s | --- |" % " | ".join("---" for _ in names))
    for mode, what in MODES:
        for label, field in MEASURES:
            cells, stats = [], {}
            for name in names:
                median, spread = summary([r[field] for r in results[(name, mode)]])
                stats[name] = (median, spread)
                cells.append("%.1f us (±%.0f%%)" % (median, 100 * spread / median))
            ours, our_spread = stats[names[0]]
            ahead = [name for name in names[1:]
                     if stats[name][0] + stats[name][1] < ours - our_spread]
            print("| %s, %s | %s | %s |" % (what, label, " | ".join(cells),
                                             ", ".join(ahead) if ahead else "none"))


if __name__ == "__main__":
    main()
