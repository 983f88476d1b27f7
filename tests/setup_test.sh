#!/usr/bin/env bash
# scripts/setup.sh on a machine whose package manager fails in part, with
# stand-in apt-get, dpkg and id first on PATH: an index that cannot be
# fetched and an optional package that cannot be had end in status 0 after
# the install was tried; a required package that cannot be had stops it.
#   setup_test.sh SOURCE
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# apt-get: update fails; install fails when it names an $UNINSTALLABLE one.
printf '%s\n' '#!/bin/sh' 'echo "apt-get $*" >>"$LOG"' \
    'case " $* " in *" update "*) exit 100 ;; *" $UNINSTALLABLE "*) exit 100 ;; esac' >"$work/bin/apt-get"
# dpkg: every package is there but those in $MISSING; i386 is known.
printf '%s\n' '#!/bin/sh' 'case "$1 $2" in "-s "*) case " $MISSING " in *" $2 "*) exit 1 ;; esac ;;' \
    '"--print-foreign-architectures "*) echo i386 ;; esac' >"$work/bin/dpkg"
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin/"*
failed=0
# missing, uninstallable, expected status, what the log must hold
while IFS='|' read -r missing uninstallable expected logged; do
    export LOG="$work/log" MISSING=$missing UNINSTALLABLE=$uninstallable
    : >"$LOG"
    PATH="$work/bin:$PATH" "$1/scripts/setup.sh" >"$work/said" 2>&1
    status=$?
    if [ "$status" -ne "$expected" ] || ! grep -q -- "$logged" "$LOG" ||
        ! grep -q "apt-get update failed" "$work/said"; then
        echo "missing '$missing': status $status (expected $expected); it said:"
        cat "$work/said" "$LOG"
        failed=1
    fi
done <<'ROWS'
mandoc|mandoc|0|install --no-remove mandoc
mandoc valgrind|mandoc|0|install --no-remove valgrind
wine64|wine64|0|install --no-remove wine64
libgtest-dev|libgtest-dev|1|install --no-remove libgtest-dev
ROWS
exit $failed
