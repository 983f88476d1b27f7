#!/usr/bin/env bash
# Installs the Debian packages that `make test` needs and the machine lacks,
# when it may (as root, or with password-less sudo).  Otherwise it prints
# the one apt-get line that would do it: without the required packages it
# stops there; without the optional ones the legs they serve are reported
# as skipped.  On a machine without dpkg it checks nothing.
set -euo pipefail

# The native build and its tests cannot do without these.
required=(cmake g++ make libgtest-dev)
# Each of these enables one more test leg or check.
optional=(
    g++-mingw-w64-x86-64-posix # Windows, 64-bit, msvcrt.dll
    g++-mingw-w64-i686-posix   # Windows, 32-bit, msvcrt.dll
    g++-mingw-w64-x86-64-win32 # Windows, 64-bit, the UCRT (win32 threads)
    wine64 wine32:i386         # running them
    valgrind strace pkg-config mandoc
    clang libclang-rt-14-dev # fuzzing
    libbenchmark-dev
)

if ! command -v dpkg >/dev/null 2>&1; then
    echo "setup: not a Debian system; not checking packages"
    exit 0
fi

missing_of() {
    local package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || echo "$package"
    done
}
mapfile -t missing_required < <(missing_of "${required[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
missing=("${missing_required[@]}" "${missing_optional[@]}")
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
        echo "    ${needs_i386}sudo apt-get update && sudo apt-get install -y ${missing[*]}"
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
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
apt_get() { "${as_root[@]}" apt-get -y -qq -o=Dpkg::Use-Pty=0 "$@" >/dev/null; }
apt_get update
if [ ${#missing_required[@]} -gt 0 ]; then
    apt_get install "${missing_required[@]}"
fi
# One at a time only when they cannot all be had at once.
if [ ${#missing_optional[@]} -gt 0 ] && ! apt_get install "${missing_optional[@]}"; then
    for package in "${missing_optional[@]}"; do
        apt_get install "$package" || echo "setup: could not install $package"
    done
fi
