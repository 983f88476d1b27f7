#!/usr/bin/env python3
"""The jobs race of bench/RESULTS.md: 2,000 jobs of a trivial program at
-j 2 and -j 64, each side in turn, rounds interleaved: `cmdkit-run -j -f`
against `xargs -P` (which keeps no output apart), ninja on a build file of
2,000 edges running the same program, and GNU parallel where installed; and
cmdkit_run_all against a floor that spawns the same jobs with the same
concurrency, captures both pipes of each and waits in one poll(2).  Each
cell is the median wall time per job over the rounds, with its spread
(half their range, in percent of the median).

    race.py NOP CMDKIT_RUN RUN_ALL FLOOR WORK [--rounds 5] [--count 2000]"""
import argparse
import os
import shutil
import statistics
import subprocess
import time


def build_files(nop, work, count):
    lines = os.path.join(work, "jobs.txt")
    with open(lines, "w") as f:
        f.writelines("%s %d\n" % (nop, i) for i in range(count))
    ninja = os.path.join(work, "build.ninja")
    with open(ninja, "w") as f:
        f.write("rule run\n  command = %s $n\n" % nop)
        f.writelines("build never%d: run\n  n = %d\n" % (i, i) for i in range(count))
    return lines, ninja


def sides(args, jobs, lines, ninja):
    count = str(args.count)
    listed = [
        ("cmdkit-run -j", [args.cmdkit_run, "-j", jobs, "-q", "-f", lines], None),
        ("xargs -P", ["xargs", "-P", jobs, "-n", "1", args.nop], "numbers"),
        ("ninja", ["ninja", "-f", ninja, "-j", jobs], None),
        ("GNU parallel", ["parallel", "-j", jobs, args.nop], "numbers"),
        ("cmdkit_run_all", [args.run_all, jobs, count, args.nop], None),
        ("floor", [args.floor, jobs, count, args.nop], None),
    ]
    return [side for side in listed if shutil.which(side[1][0])]


def timed(command, stdin_text, work):
    start = time.perf_counter()
    subprocess.run(command, input=stdin_text, cwd=work, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, text=True, check=True)
    return time.perf_counter() - start


def cell(values, count):
    median = statistics.median(values) / count * 1e6
    spread = (max(values) - min(values)) / 2 / count * 1e6
    return median, "%.0f us (±%.0f%%)" % (median, 100 * spread / median)


def main():
    parser = argparse.ArgumentParser()
    for name in ("nop", "cmdkit_run", "run_all", "floor", "work"):
        parser.add_argument(name)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=2000)
    args = parser.parse_args()
    for name in ("nop", "cmdkit_run", "run_all", "floor", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    os.makedirs(args.work, exist_ok=True)
    lines, ninja = build_files(args.nop, args.work, args.count)
    numbers = "".join("%d\n" % i for i in range(args.count))
    print("| jobs at once | %s |" % " | ".join(
        ["cmdkit-run -j", "xargs -P", "ninja", "GNU parallel", "cmdkit_run_all", "floor", "goals"]))
    print("|" + " --- |" * 8)
    for jobs in ("2", "64"):
        present = sides(args, jobs, lines, ninja)
        times = {name: [] for name, _, _ in present}
        for _ in range(args.rounds):
            for name, command, stdin in present:
                times[name].append(timed(command, numbers if stdin else None, args.work))
        cells = {name: cell(values, args.count) for name, values in times.items()}
        goals = []
        if "xargs -P" in cells:
            ratio = cells["cmdkit-run -j"][0] / cells["xargs -P"][0]
            goals.append("%.2f of xargs (<= 1.05: %s)" % (ratio, "met" if ratio <= 1.05 else "NOT met"))
        if "ninja" in cells:
            below = cells["cmdkit-run -j"][0] < cells["ninja"][0]
            goals.append("below ninja: %s" % ("met" if below else "NOT met"))
        ratio = cells["cmdkit_run_all"][0] / cells["floor"][0]
        goals.append("run_all %.2f of the floor (<= 1.10: %s)" % (ratio, "met" if ratio <= 1.10 else "NOT met"))
        row = [cells[name][1] if name in cells else "not installed" for name in
               ("cmdkit-run -j", "xargs -P", "ninja", "GNU parallel", "cmdkit_run_all", "floor")]
        print("| %s | %s | %s |" % (jobs, " | ".join(row), "; ".join(goals)))


if __name__ == "__main__":
    main()
