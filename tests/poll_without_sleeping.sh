#!/usr/bin/env bash
# Many pipelines driven by cmdkit_poll, and a pipeline of 100 commands
# waited on, sleep nowhere: under strace the test process makes no sleeping
# call, and no poll with a time limit comes back empty.
#   poll_without_sleeping.sh STRACE UNIT_TESTS
set -uo pipefail
strace=$1 tests=$2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$strace" -qq -o "$log" -e trace=nanosleep,clock_nanosleep,poll,ppoll "$tests" \
    --gtest_filter='ManyAtOnce.TwoHundred*:ManyAtOnce.AHundredCommands*' >/dev/null; then
    echo "the tests failed under strace"
    exit 1
fi
slept=$(grep -E '^(nanosleep|clock_nanosleep)\(' "$log" | head -n 5)
empty=$(grep -E '^p?poll\(.*, [1-9][0-9]*(, NULL)?\) += 0 \(Timeout\)' "$log" | head -n 5)
if [ -n "$slept$empty" ]; then
    printf 'calls that slept or came back empty before their limit:\n%s\n%s\n' "$slept" "$empty"
    exit 1
fi
echo "$(grep -c -E '^p?poll\(' "$log") polls, none empty before its limit, no sleep"
