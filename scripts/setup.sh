#!/usr/bin/env bash
# Installs the Debian packages that `make test` needs and the machine lacks,
# when it may (as root, or with password-less sudo).  Otherwise it prints
# the one apt-get line that would do it: without the required packages it
# stops there; without the optional ones the legs they serve are reported
# as skipped.  On a machine without dpkg it checks nothing.
#
# A package index that cannot be fetched, or an optional package that
# cannot be had, is said in one line and the run goes on: only a required
# package that is still missing at the end stops it.
set -uo pipefail

# The native build and its tests cannot do without these.
required=(cmake g++ make libgtest-dev)
# Each of these enables one more test leg or check.
optional=(
    g++-mingw-w64-x86-64-posix # Windows, 64-bit, msvcrt.dll
    g++-mingw-w64-i686-posix   # Windows, 32-bit, msvcrt.dll
    g++-mingw-w64-x86-64-win32 # Windows, 64-bit, the UCRT (win32 threads)
    valgrind strace pkg-config mandoc
    clang libclang-rt-14-dev # fuzzing
    libbenchmark-dev
    libuv1-dev # the event-loop example
)
# Running the Windows builds: the two loaders must come from one update, or
# apt removes one to install the other.
wine_pair=(wine64 wine32:i386)

if ! command -v dpkg >/dev/null 2>&1; then
    echo "setup: not a Debian system; not checking packages"
    exit 0
fi

# A static i386 program of 96 bytes that only exits with status 7: the
# kernel runs it only where 32-bit programs can run at all.
runs_32_bit_programs() {
    local probe status
    probe=$(mktemp) || return 1
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\007\000\000\000\315\200' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    status=$?
    rm -f "$probe"
    [ "$status" -eq 7 ]
}

missing_of() {
    local package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || echo "$package"
    done
}

wine=("${wine_pair[0]}")
if runs_32_bit_programs; then
    wine=("${wine_pair[@]}")
else
    echo "setup: this kernel cannot execute 32-bit programs: wine32:i386 left out, the i686 leg only builds"
fi
mapfile -t missing_required < <(missing_of "${required[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
mapfile -t missing_wine < <(missing_of "${wine[@]}")
missing=("${missing_required[@]}" "${missing_optional[@]}" "${missing_wine[@]}")
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        as_root=(sudo -n)
    else
        needs_i386=""
        [[ " ${missing[*]} " == *":i386 "* ]] && needs_i386="sudo dpkg --add-architecture i386 && "
        echo "setup: these packages are missing: ${missing[*]}"
        echo "setup: install them with:"
        echo "    ${needs_i386}sudo apt-get update && sudo apt-get install -y --no-remove ${missing[*]}"
        if [ ${#missing_required[@]} -gt 0 ]; then
            echo "setup: cannot build the tests without ${missing_required[*]}; stopping" >&2
            exit 1
        fi
        echo "setup: going on; the legs that need the others will say they were skipped"
        exit 0
    fi
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing_wine[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386 || echo "setup: could not add the i386 architecture"
fi
# Never removes a package to make room for another.
apt_get() { "${as_root[@]}" apt-get -y -qq -o=Dpkg::Use-Pty=0 "$@" >/dev/null 2>&1; }
install() { apt_get install --no-remove "$@"; }

if ! apt_get update; then
    echo "setup: apt-get update failed for some index; going on with the package lists there are"
fi
# All at once first; one at a time only when they cannot all be had.
install_each() {
    [ $# -eq 0 ] && return 0
    install "$@" && return 0
    local package
    for package in "$@"; do
        install "$package" || echo "setup: could not install $package"
    done
}
install_each "${missing_required[@]}"
install_each "${missing_optional[@]}"
if [ ${#missing_wine[@]} -gt 0 ] && ! install "${wine[@]}"; then
    if [ ${#wine[@]} -gt 1 ]; then
        echo "setup: could not install ${wine[*]} together; the 32-bit loader is left out"
    fi
    install "${wine[0]}" || echo "setup: could not install ${wine[0]}"
fi

mapfile -t still_missing < <(missing_of "${required[@]}")
if [ ${#still_missing[@]} -gt 0 ]; then
    echo "setup: cannot build the tests without ${still_missing[*]}; stopping" >&2
    exit 1
fi
exit 0
