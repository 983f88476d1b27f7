#!/usr/bin/env bash
# Runs a Windows program under Wine, the way ctest and the test discovery
# start every program of a Windows build:
#   wine-run.sh PREFIX WINE PROGRAM [ARGUMENTS...]
# PREFIX is the Wine prefix to use (made on first use, once, even when
# several tests start at the same moment), WINE the loader (wine64 for
# 64-bit programs, wine for 32-bit ones).  Wine's own diagnostics are
# switched off, and the carriage returns of the program's text-mode output
# are dropped so that ctest and the test discovery read plain lines; what a
# test checks of a program it starts itself never passes through here.
set -uo pipefail
prefix=$1
wine=$2
shift 2
wineserver="$(dirname "$wine")/wineserver"
export WINEPREFIX=$prefix WINEDEBUG=-all
# No Gecko or Mono installers: nothing here needs them, and they would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The first program of a Wine session starts the wineserver and the
# session's services, which inherit that program's output and keep it open
# long after it ends: ctest would wait for them instead of for the test.  So
# the session is started here, on /dev/null, by whichever test comes first;
# the server lingers ten seconds after its last program.
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
        "$wineserver" -w 9>&-
    fi
    # Succeeds only when no server was running for this prefix.
    if "$wineserver" -p10 </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$prefix.lock"

# Wine's loader now and then fails to start a program at all: a failure
# with no output whatever.  Such a start is tried again, at most twice; a
# program that ran has written something (every test program does).
output=$(mktemp)
trap 'rm -f "$output"' EXIT
for attempt in 1 2 3; do
    "$wine" "$@" | tr -d '\r' >"$output"
    status=${PIPESTATUS[0]}
    [ "$status" -ne 0 ] && [ ! -s "$output" ] && [ "$attempt" -lt 3 ] || break
done
cat "$output"
exit "$status"
