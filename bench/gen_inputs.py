#!/usr/bin/env python3
"""Writes the inputs of the whole-run comparison, always the same for a
given seed: the lookup tree and lines, and the two parse corpora."""
import os
import random
import sys

SEED = 20261208
PROGRAMS = ["git", "gcc", "make", "python", "node", "cargo", "msbuild", "robocopy", "xcopy", "7z"]
OPTIONS = ["-o", "-v", "--verbose", "-j4", "--output=build", "-DNDEBUG", "/nologo", "/W4",
           "--config=Release", "-x", "--", "-I.", "/MT", "--target=all"]
WORDS = ["main.c", "src/app.cpp", "README.md", "out.txt", "build", "x86_64", "release",
         "origin", "master", "*.obj", "v1.2.3", "data.json", "report.pdf", "notes.txt"]
FOLDERS = ["Program Files", "Users", "Windows", "Source Code", "My Documents", "Temp Files"]


def quoted_path(rng):
    parts = [rng.choice(FOLDERS) for _ in range(rng.randint(1, 3))]
    name = rng.choice(WORDS)
    return '"C:\\' + "\\".join(parts) + "\\" + name + '"'


def command(rng):
    words = []
    if rng.random() < 0.2:
        words.append('"C:\\Program Files\\' + rng.choice(PROGRAMS) + "\\" + rng.choice(PROGRAMS) + '.exe"')
    else:
        words.append(rng.choice(PROGRAMS))
    for _ in range(rng.randint(1, 8)):
        roll = rng.random()
        if roll < 0.35:
            words.append(rng.choice(OPTIONS))
        elif roll < 0.7:
            words.append(rng.choice(WORDS))
        else:
            words.append(quoted_path(rng))
    return " ".join(words)


def plain_corpus(rng, count):
    return [command(rng) for _ in range(count)]


def target(rng):
    return rng.choice(WORDS).replace("*", "all")


def pipeline_corpus(rng, count):
    lines = []
    for _ in range(count):
        first = command(rng)
        if rng.random() < 0.5:
            first += " < " + target(rng)
        rest = [command(rng) for _ in range(rng.randint(0, 3))]
        line = " | ".join([first] + rest)
        if rng.random() < 0.5:
            line += " > " + target(rng)
        lines.append(line)
    return lines


def lookup_tree(root, rng, count):
    """Ten PATH directories d0..d9; program pK lives in d(K % 10) with one
    of the four extensions.  Two lines in three name a program, one in three
    names nothing."""
    extensions = [".com", ".exe", ".bat", ".cmd"]
    for d in range(10):
        os.makedirs(os.path.join(root, "d%d" % d), exist_ok=True)
    programs = []
    for k in range(50):
        name = "p%d" % k
        ext = extensions[k % 4]
        open(os.path.join(root, "d%d" % (k % 10), name + ext), "w").close()
        programs.append(name)
    open(os.path.join(root, "here.com"), "w").close()
    lines = []
    for i in range(count):
        if i % 3 == 2:
            lines.append("missing%d --flag %d" % (i, i))
        else:
            lines.append("%s %s %s" % (rng.choice(programs), rng.choice(OPTIONS), rng.choice(WORDS)))
    return lines


def write_lines(path, lines):
    with open(path, "w", newline="\n") as out:
        out.write("\n".join(lines) + "\n")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(SEED)
    write_lines(os.path.join(out, "corpus-plain.txt"), plain_corpus(rng, 100000))
    write_lines(os.path.join(out, "corpus-pipes.txt"), pipeline_corpus(rng, 100000))
    tree = os.path.join(out, "tree")
    write_lines(os.path.join(out, "lookup-lines.txt"), lookup_tree(tree, rng, 20000))


if __name__ == "__main__":
    main()
