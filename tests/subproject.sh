#!/usr/bin/env bash
# Builds the parent project of tests/consumers/subproject twice, taking
# cmdkit in through add_subdirectory and through FetchContent from an
# archive of the sources, then runs its program and installs it.
#   subproject.sh SOURCE WORK CC CXX
set -euo pipefail
source=$1
work=$2
export CC=$3 CXX=$4
rm -rf "$work"
mkdir -p "$work"
tar -C "$source" --exclude=./build --exclude=./.git -czf "$work/cmdkit.tar.gz" .

expected='tool "a b"
2 commands'
for way in add_subdirectory FetchContent; do
    build="$work/$way"
    if [ "$way" = FetchContent ]; then
        how=(-DCMDKIT_ARCHIVE="$work/cmdkit.tar.gz")
    else
        how=(-DCMDKIT_SOURCE="$source")
    fi
    cmake -S "$source/tests/consumers/subproject" -B "$build" "${how[@]}" \
        -DCMAKE_INSTALL_PREFIX="$build/prefix" >"$build.log" 2>&1 || {
        cat "$build.log"
        exit 1
    }
    cmake --build "$build" -j 2 >>"$build.log" 2>&1 || {
        cat "$build.log"
        exit 1
    }
    said=$("$build/parent" 2>/dev/null)
    if [ "$said" != "$expected" ]; then
        echo "$way: the parent's program printed: $said"
        exit 1
    fi
    cmake --install "$build" >>"$build.log" 2>&1
    if [ -e "$build/prefix" ]; then
        echo "$way: cmdkit installed into its parent's prefix:"
        find "$build/prefix" -type f
        exit 1
    fi
    echo "$way: builds with the parent's strict warnings, imposes nothing, installs nothing"
done
