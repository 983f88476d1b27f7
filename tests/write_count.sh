#!/usr/bin/env bash
# The buffering promise, counted in system calls: over a long run each
# stream costs one write per 64 KiB buffer plus one flush per read of the
# input, never one write per line.
#   write_count.sh STRACE CMDKIT-DEMO
set -euo pipefail
strace=$1
demo=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
touch "$work/bin/tool.exe"
lines=5000
for ((i = 0; i < lines; ++i)); do
    if ((i % 2)); then echo "tool arg$i"; else echo "missing $i"; fi
done >"$work/input"

cd "$work"
PATH=bin COMSPEC='C:\cmd.exe' "$strace" -f --seccomp-bpf -o "$work/calls" -e trace=read,write \
    "$demo" <"$work/input" >"$work/out" 2>"$work/err"

count() { grep -c -E "^([0-9]+ +)?$1\($2," "$work/calls" || true; }
reads=$(count read 0)
buffer=65536
status=0
for stream in 1 2; do
    file=$([ "$stream" = 1 ] && echo out || echo err)
    bytes=$(wc -c <"$work/$file")
    writes=$(count write "$stream")
    # Each flush before a read may leave a partial buffer; the rest are full.
    allowed=$((bytes / buffer + reads + 1))
    echo "fd $stream: $bytes bytes in $writes writes ($allowed allowed, $lines lines, $reads reads)"
    if [ "$writes" -gt "$allowed" ]; then
        status=1
    fi
done
[ "$status" = 0 ] || { echo "more writes than buffers: output is not buffered as promised"; exit 1; }
