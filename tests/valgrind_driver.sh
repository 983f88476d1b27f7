#!/usr/bin/env bash
# Runs cmdkit-demo (the demonstration plus 1,003 lookup lines) under
# valgrind memcheck; any error or leak of any kind fails.
set -euo pipefail
valgrind=$1
demo=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/Program Files/x"
touch "$work/bin/tool.exe" "$work/here.bat" "$work/Program Files/x/edit.cmd"

for i in $(seq 1 1000); do
    case $((i % 5)) in
    0) echo "tool arg$i \"quoted arg\"" ;;
    1) echo "missing $i" ;;
    2) echo "  here.bat x$i" ;;
    3) echo "edit file$i.txt" ;;
    4) echo "\"unterminated $i" ;;
    esac
done >"$work/input"
# Lines that fill the reader's first room for a line and one past it, and a
# last line ending in a carriage return without a line feed.
{
    printf 'missing %0247d\n' 0
    printf 'missing %0248d\n' 0
    printf 'missing end\r'
} >>"$work/input"

cd "$work"
PATH='bin;Program Files\x' COMSPEC='C:\cmd.exe' "$valgrind" --quiet --error-exitcode=1 \
    --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --log-file="$work/valgrind.log" "$demo" <"$work/input" >"$work/out" 2>"$work/err" || {
    cat "$work/valgrind.log"
    echo "valgrind found errors or leaks"
    exit 1
}
lines=$(($(wc -l <"$work/out") - 64))
if [ "$lines" -ne 1003 ]; then
    echo "expected 1003 lookup results, got $lines"
    exit 1
fi
echo "valgrind: no errors, no leaks over the demonstration and 1003 lookups"
