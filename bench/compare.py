#!/usr/bin/env python3
"""Whole-run comparison: cmdkit against the physical floor and its peers,
each row a ratio measured in this run (interleaved repetitions, median).

    compare.py BUILD_DIR WORK_DIR [--results bench/RESULTS.md]

BUILD_DIR is a Release build with -DCMDKIT_BUILD_BENCH=ON.  Uses only
Debian-packaged tools: python3, strace, and the peers' -dev packages; a row
whose tool is missing is named in the table with the package it needs."""
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

REPETITIONS = 7
PEER_PACKAGES = "libglib2.0-dev and llvm-14-dev"


def run_timed(argv, stdin_path, cwd, env):
    with open(stdin_path, "rb") as stdin:
        start = time.perf_counter()
        subprocess.run(argv, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       cwd=cwd, env=env, check=True)
        return time.perf_counter() - start


def lookup_env(tree):
    env = dict(os.environ)
    env["PATH"] = ";".join("d%d" % d for d in range(10))
    env["COMSPEC"] = "C:\\Windows\\System32\\cmd.exe"
    return env


def candidates_of(demo, lines, tree, work):
    """The candidate paths the driver itself tries, from its trace."""
    with open(lines, "rb") as stdin:
        trace = subprocess.run([demo], stdin=stdin, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, cwd=tree, env=lookup_env(tree),
                               check=True).stderr.decode("latin-1")
    paths = re.findall(r"^look for command: trying (.*)$", trace, re.M)
    listing = os.path.join(work, "candidates.txt")
    with open(listing, "w", encoding="latin-1") as out:
        out.write("\n".join(p.replace("\\", "/") for p in paths) + "\n")
    return listing, len(paths)


def lookup_row(build, work):
    """cmdkit-demo (traced) and the same loop with the traces silenced,
    each against the floor of its existence tests."""
    demo = os.path.join(build, "cmdkit-demo")
    quiet = os.path.join(build, "bench", "cmdkit_quiet_lookup")
    floor = os.path.join(build, "bench", "cmdkit_floor")
    tree = os.path.join(work, "tree")
    lines = os.path.join(work, "lookup-lines.txt")
    listing, tests = candidates_of(demo, lines, tree, work)
    env = lookup_env(tree)
    empty = os.path.join(work, "empty.txt")
    open(empty, "w").close()
    demo_times, quiet_times, floor_times = [], [], []
    for _ in range(REPETITIONS):
        demo_times.append(run_timed([demo], lines, tree, env))
        quiet_times.append(run_timed([quiet], lines, tree, env))
        floor_times.append(run_timed([floor, listing], empty, tree, env))
    demo_s, quiet_s = statistics.median(demo_times), statistics.median(quiet_times)
    floor_s = statistics.median(floor_times)
    return {"demo_s": demo_s, "quiet_s": quiet_s, "floor_s": floor_s, "tests": tests,
            "ratio": demo_s / floor_s, "quiet_ratio": quiet_s / floor_s}


def syscall_total(strace, demo, stdin_path, tree, env, work):
    out = os.path.join(work, "strace.txt")
    with open(stdin_path, "rb") as stdin:
        subprocess.run([strace, "-c", "-f", "-o", out, demo], stdin=stdin,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tree, env=env,
                       check=True)
    with open(out) as f:
        total = [l for l in f if l.strip().endswith("total")]
    return int(total[-1].split()[3])


def syscall_row(build, work, tests):
    strace = shutil.which("strace")
    if strace is None:
        print("compare: the system-call row needs strace; not measured")
        return None
    demo = os.path.join(build, "cmdkit-demo")
    tree = os.path.join(work, "tree")
    env = lookup_env(tree)
    empty = os.path.join(work, "empty.txt")
    lines = os.path.join(work, "lookup-lines.txt")
    count = sum(1 for _ in open(lines, "rb"))
    baseline = syscall_total(strace, demo, empty, tree, env, work)
    full = syscall_total(strace, demo, lines, tree, env, work)
    per_line = (full - baseline) / count
    return {"per_line": per_line, "tests_per_line": tests / count, "lines": count}


def shlex_time(mode, corpus, words):
    said = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "shlex_bench.py"),
                           mode, corpus, words], capture_output=True, text=True, check=True).stdout
    return float(said.split()[1])


def parse_rows(build, work):
    peers = os.path.join(build, "bench", "cmdkit_peers")
    rows = {}
    for mode in ("plain", "pipes"):
        corpus = os.path.join(work, "corpus-%s.txt" % mode)
        words = os.path.join(work, "words-%s.txt" % mode)
        python_ns = shlex_time(mode, corpus, words)
        if not os.path.exists(peers):
            print("compare: the parse rows need cmdkit_peers, which needs %s; not measured" % PEER_PACKAGES)
            rows[mode] = {"python": python_ns}
            continue
        said = subprocess.run([peers, mode, corpus, words], capture_output=True, text=True)
        if said.returncode != 0:
            raise SystemExit("the splitters disagree on the %s corpus:\n%s" % (mode, said.stdout))
        times = dict((k, float(v)) for k, v in (l.split() for l in said.stdout.splitlines()))
        times["python"] = python_ns
        rows[mode] = times
    return rows


def peak_rss_kib(demo, tree, env, megabytes):
    """Streams `megabytes` of lines into cmdkit-demo and returns its peak
    resident memory, read from /proc while it waits for the end of input
    (the rusage of a child would also count the memory of this script,
    which the child shares until it starts the program)."""
    line = b"here " + b"x" * 1000 + b"\n"
    long_line = b"here " + b"y" * (64 * 1024) + b"\n"
    process = subprocess.Popen([demo], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, cwd=tree, env=env)
    chunk = line * 1000 + long_line
    sent = 0
    while sent < megabytes * 1024 * 1024:
        process.stdin.write(chunk)
        sent += len(chunk)
    process.stdin.flush()
    time.sleep(1.0)
    with open("/proc/%d/status" % process.pid) as status:
        peak = int(re.search(r"VmHWM:\s*(\d+) kB", status.read()).group(1))
    process.stdin.close()
    if process.wait() != 0:
        raise SystemExit("cmdkit-demo failed on the memory run")
    return peak


def machine():
    cpu = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
    except (OSError, AttributeError):
        pass
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return "%s, %d cores, %s; %s; Python %s" % (cpu, os.cpu_count(), platform.platform(), compiler,
                                              platform.python_version())


def compose_row(build):
    """argv_to_cmdline against argv_to_windows_cmdline at 1,000 arguments,
    from the micro-benchmarks run just before."""
    try:
        with open(os.path.join(build, "micro.txt")) as f:
            text = f.read()
    except OSError:
        return None
    def ns(name):
        found = re.search(r"^%s/1000\s+([0-9.]+) (ns|us)" % name, text, re.M)
        return float(found.group(1)) * (1000 if found.group(2) == "us" else 1) if found else None
    plain, windows = ns("BM_argv_to_cmdline"), ns("BM_argv_to_windows_cmdline")
    return (plain, windows) if plain and windows else None


def verdict(ok):
    return "met" if ok else "NOT met"


def missing_row(measure, needs):
    return "| %s | not measured | needs %s | | | missing |" % (measure, needs)


def table(lookup, syscalls, parse, rss_kib, compose):
    rows = ["| measure | cmdkit | against | ratio | goal | |", "| --- | --- | --- | --- | --- | --- |"]
    rows.append("| lookup, 20,000 lines, 10-directory PATH | %.3f s | floor (the same %d existence tests) %.3f s | %.2f | <= 1.10 | %s |"
                % (lookup["demo_s"], lookup["tests"], lookup["floor_s"], lookup["ratio"],
                   verdict(lookup["ratio"] <= 1.10)))
    rows.append("| lookup, tracing silenced | %.3f s | the same floor %.3f s | %.2f | <= 1.03 | %s |"
                % (lookup["quiet_s"], lookup["floor_s"], lookup["quiet_ratio"],
                   verdict(lookup["quiet_ratio"] <= 1.03)))
    if not syscalls:
        rows.append(missing_row("system calls per input line", "strace"))
    if syscalls:
        allowed = syscalls["tests_per_line"] + 1
        rows.append("| system calls per input line | %.2f | existence tests per line %.2f | %.2f | <= tests + 1 | %s |"
                    % (syscalls["per_line"], syscalls["tests_per_line"], syscalls["per_line"] / allowed,
                       verdict(syscalls["per_line"] <= allowed)))
    plain = parse["plain"]
    if "cmdkit" in plain:
        ours = plain["cmdkit"]
        quiet = plain["cmdkit_quiet"]
        rows.append("| parse, 100,000 plain lines | %.0f ns/line | GLib g_shell_parse_argv %.0f ns/line | %.2f | <= 1 | %s |"
                    % (ours, plain["glib"], ours / plain["glib"], verdict(ours <= plain["glib"])))
        rows.append("| parse, 100,000 plain lines | %.0f ns/line | LLVM TokenizeWindowsCommandLine %.0f ns/line | %.2f | <= 2 | %s |"
                    % (ours, plain["llvm"], ours / plain["llvm"], verdict(ours <= 2 * plain["llvm"])))
        rows.append("| parse, tracing silenced | %.0f ns/line | LLVM TokenizeWindowsCommandLine %.0f ns/line | %.2f | <= 1.5 | %s |"
                    % (quiet, plain["llvm"], quiet / plain["llvm"], verdict(quiet <= 1.5 * plain["llvm"])))
        rows.append("| parse, 100,000 plain lines | %.0f ns/line | Python shlex.split %.0f ns/line | %.3f | <= 0.05 | %s |"
                    % (ours, plain["python"], ours / plain["python"], verdict(ours * 20 <= plain["python"])))
    else:
        for measure in ("parse against GLib g_shell_parse_argv", "parse against LLVM TokenizeWindowsCommandLine",
                        "parse with tracing silenced against LLVM", "parse against Python shlex.split",
                        "parse with pipes against Python shlex.shlex"):
            rows.append(missing_row(measure, PEER_PACKAGES))
    pipes = parse["pipes"]
    if "cmdkit" in pipes:
        ours = pipes["cmdkit"]
        rows.append("| parse, 100,000 lines with pipes and redirections | %.0f ns/line | Python shlex.shlex (punctuation_chars) %.0f ns/line | %.3f | <= 0.05 | %s |"
                    % (ours, pipes["python"], ours / pipes["python"], verdict(ours * 20 <= pipes["python"])))
    rows.append("| peak memory over a 100 MB input stream | %.1f MB | limit 8 MB | %.2f | <= 1 | %s |"
                % (rss_kib / 1024, rss_kib / 1024 / 8, verdict(rss_kib < 8 * 1024)))
    if compose:
        rows.append("| argv_to_cmdline, 1,000 arguments | %.0f ns | argv_to_windows_cmdline %.0f ns | %.2f | <= 2 | %s |"
                    % (compose[0], compose[1], compose[0] / compose[1], verdict(compose[0] <= 2 * compose[1])))
    else:
        rows.append(missing_row("argv_to_cmdline, 1,000 arguments", "the micro-benchmarks' output (make bench)"))
    return "\n".join(rows)


def main():
    build, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    results = sys.argv[sys.argv.index("--results") + 1] if "--results" in sys.argv else None
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "gen_inputs.py"), work], check=True)
    lookup = lookup_row(build, work)
    syscalls = syscall_row(build, work, lookup["tests"])
    parse = parse_rows(build, work)
    tree = os.path.join(work, "tree")
    rss = peak_rss_kib(os.path.join(build, "cmdkit-demo"), tree, lookup_env(tree), 100)
    text = table(lookup, syscalls, parse, rss, compose_row(build))
    print(text)
    if results:
        with open(results, "w") as out:
            out.write("# Benchmark results\n\n")
            out.write("Made by `make bench` (`bench/run.sh`, which calls `bench/compare.py`) on %s.\n"
                      "Medians of %d interleaved repetitions; ratios are cmdkit over the other column.\n\n"
                      % (machine(), REPETITIONS))
            out.write(text + "\n")


if __name__ == "__main__":
    main()
