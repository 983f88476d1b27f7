#!/usr/bin/env bash
# A real client of cmdkit-run -f: the compile commands CMake exports for
# this project's library, run through `cmdkit-run -j 2` from the build
# directory, make the very object files the build made.
#   compile_commands.sh CMDKIT_RUN SOURCE WORK
set -euo pipefail
run=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
cmake -S "$source" -B "$work" -DCMAKE_BUILD_TYPE=Debug -DCMDKIT_BUILD_TESTS=OFF \
    -DCMDKIT_BUILD_DEMO=OFF -DCMDKIT_INSTALL=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >"$work.log" 2>&1
cmake --build "$work" -j 2 --target cmdkit >>"$work.log" 2>&1
python3 -c 'import json, sys; print("\n".join(e["command"] for e in json.load(sys.stdin)))' \
    <"$work/compile_commands.json" >"$work/commands.txt"
cd "$work"
find . -name '*.o' -exec mv {} {}.built \;
"$run" -j 2 -q -f commands.txt
count=0
for object in $(find . -name '*.o.built'); do
    cmp "${object%.built}" "$object" || { echo "${object%.built} differs from the build's"; exit 1; }
    count=$((count + 1))
done
echo "$count objects made by cmdkit-run -j 2 are the build's own"
