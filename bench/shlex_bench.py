#!/usr/bin/env python3
"""Splits a corpus with Python's shlex, the reference the other splitters
are checked against, and times the splitting loop alone.

    shlex_bench.py plain|pipes CORPUS WORDS_OUT

Writes the word lists (words joined by US, one line per input line) to
WORDS_OUT and prints `ns_per_line N` (median of three runs after a warm-up)."""
import shlex
import statistics
import sys
import time


def split_plain(line):
    return shlex.split(line)


def split_pipes(line):
    lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    return list(lexer)


def main():
    mode, corpus, words_out = sys.argv[1:4]
    split = split_plain if mode == "plain" else split_pipes
    with open(corpus, encoding="latin-1") as f:
        lines = f.read().split("\n")[:-1]
    with open(words_out, "w", encoding="latin-1", newline="\n") as out:
        for line in lines:
            out.write("\x1f".join(split(line)) + "\n")
    runs = []
    for _ in range(4):
        start = time.perf_counter_ns()
        for line in lines:
            split(line)
        runs.append((time.perf_counter_ns() - start) / len(lines))
    print("ns_per_line %.1f" % statistics.median(runs[1:]))


if __name__ == "__main__":
    main()
