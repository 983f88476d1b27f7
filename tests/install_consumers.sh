#!/usr/bin/env bash
# Installs a configured build into a temporary prefix and builds two
# programs against it from outside the tree, as users would: the README's
# C example through pkg-config and a C++ program through find_package.
# Both must print the expected results.  It also checks that the library,
# static or shared, exports the public interface and nothing else.
#   install_consumers.sh BUILD SOURCE
#   install_consumers.sh --archive NM LIBRARY   (the export check alone)
set -euo pipefail

public="argv_to_batch_cmdline argv_to_cmdline argv_to_windows_cmdline cmdkit_capture cmdkit_capture_argv cmdkit_capture_pipeline cmdkit_clear_captured cmdkit_clear_pipeline cmdkit_close_input cmdkit_contained cmdkit_describe_exit cmdkit_exit_status cmdkit_free_process cmdkit_get_trace cmdkit_is_batch_path cmdkit_kill cmdkit_parse_pipeline cmdkit_poll cmdkit_pollables cmdkit_read_errors cmdkit_read_output cmdkit_read_ready cmdkit_run cmdkit_run_all cmdkit_run_all_pipelines cmdkit_run_argv cmdkit_run_pipeline cmdkit_set_trace cmdkit_signal cmdkit_start cmdkit_stop cmdkit_trace_to_stderr cmdkit_wait cmdkit_write_input concat2 concat3 concatn free_pipeline look_for_cmd look_for_cmd_ex parse_cmdline pipeline_to_cmdline print_pipeline semicolon_is_separator xmalloc xrealloc xstrdup "

# A static archive defines only public C names (cmdkit_to_utf16 and cmdkit_from_utf16 on Windows)
# and C++ names under cmdkit:: or std::; weak and COMDAT (.text$...)
# definitions, such as mingw's inline printf wrappers, may repeat anywhere.
check_archive() { # nm, archive
    "$1" -C --defined-only --extern-only -f sysv "$2" | awk -F'|' -v public=" $public cmdkit_to_utf16 cmdkit_from_utf16 " '
        NF >= 7 && $3 !~ /[WwVvu]/ && $7 !~ /\$/ {
            name = $1; gsub(/^ +| +$/, "", name)
            if (!index(public, " " name " ") && name !~ /^(cmdkit|std)::/) { print "not public: " name; bad = 1 }
        }
        END { exit bad }'
}

[ "$1" != --archive ] || { check_archive "$2" "$3"; exit; }
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in include/cmdkit/cmdkit.h include/cmdkit/cmdline.h include/cmdkit/cmdrun.h \
    include/cmdkit/cmdkit.hpp share/man/man1/cmdkit-demo.1 share/man/man1/cmdkit-run.1 \
    bin/cmdkit-demo bin/cmdkit-run; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name cmdkit.pc)")/..

# The README shows the examples; they must be the very files built here.
example="$source/examples/using_cmdkit.c"
for shown in using_cmdkit.c capture.c capture.cpp lines.cpp run_line.c capture_output.c \
    run_from_cpp.cpp; do
    if ! python3 - "$source/README.md" "$source/examples/$shown" <<'PY'
import sys
readme, example = (open(p).read() for p in sys.argv[1:])
fence = "```cpp\n" if sys.argv[2].endswith(".cpp") else "```c\n"
sys.exit(0 if fence + example + "```\n" in readme else 1)
PY
    then
        echo "README's example differs from examples/$shown"
        exit 1
    fi
done

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/c_consumer" "$example" $(pkg-config --cflags --libs cmdkit)
# The other spelling of the include, through pkg-config as well.
sed 's|<cmdkit/cmdline.h>|"cmdline.h"|' "$example" >"$work/quoted_include.c"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/quoted_include" "$work/quoted_include.c" \
    $(pkg-config --cflags --libs cmdkit)
# The README's running examples, from a folder like examples/, against
# upper and count built beside them.
mkdir -p "$work/lines/run"
cp "$source/examples/lines.txt" "$work/lines/"
for program in upper count; do
    cc -o "$work/lines/run/$program" "$source/examples/src/$program.c"
done
for shown in capture run_line capture_output; do
    # shellcheck disable=SC2046
    cc -std=c99 -Wall -Wextra -Werror -o "$work/$shown" "$source/examples/$shown.c" \
        $(pkg-config --static --cflags --libs cmdkit)
done
for standard in 17 20; do
    for shown in capture lines run_from_cpp; do
        # shellcheck disable=SC2046
        c++ -std=c++$standard -Wall -Wextra -Wpedantic -Werror -o "$work/${shown}_cpp$standard" \
            "$source/examples/$shown.cpp" $(pkg-config --cflags --libs cmdkit)
    done
done
# A program defining its own xmalloc links the library, static or shared,
# and the library calls only its own.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/own_xmalloc" "$source/tests/consumers/own_xmalloc.c" \
    $(pkg-config --cflags --libs cmdkit)
ran() { (cd "$work/lines" && LD_LIBRARY_PATH="$libdir" PATH="$work/lines/run" "$@"); }
{
    ran "$work/capture" && ran "$work/capture_cpp17" && ran "$work/lines_cpp20" &&
        ran "$work/run_line" && ran "$work/capture_output" && ran "$work/run_from_cpp_cpp17" &&
        cat "$work/lines/counts.txt" && ran "$work/own_xmalloc"
} >"$work/out" || echo "an example failed"
# shellcheck disable=SC2016
printf '%s\n' '1048576 bytes of output, 0 of errors; exited with 0' \
    '1048576 bytes of output, 0 of errors; exited with 0' '1: TOOL A B' '2: TOOL.EXE --HELP' \
    '3: BUILD RELEASE' '4: HERE NOW' '5: EDIT NOTES.TXT' '6: "TOOL" QUOTED NAME' '7: TOOL.TXT' \
    '8: MISSING X' '9: "UNTERMINATED' '0 bytes of errors; exited with 0' 'ran, exit code 0' \
    '9 lines' '9 lines' '9 lines' '9 lines' '9 lines' \
    "the library's xstrdup; own xmalloc called 1 time; ran 0, exit code 0" >"$work/expected"
if ! diff -u "$work/expected" "$work/out"; then
    echo "the README's running examples or the program with its own xmalloc printed something else"
    exit 1
fi
# A failure is said once: the example prints the report's message, and the
# library's sink stays quiet.
said=$(cd "$work/lines" && LD_LIBRARY_PATH="$libdir" PATH="$work/none" "$work/capture" 2>&1 >/dev/null) || true
if [ "$said" != "not run: Command 1 (upper): not found." ]; then
    echo "the capture example's failure said: $said"
    exit 1
fi
cmake -S "$source/tests/consumers/cpp" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cpp" >/dev/null

mkdir -p "$work/run/bin"
touch "$work/run/bin/tool.exe"
for consumer in "$work/c_consumer" "$work/quoted_include" "$work/cpp/cpp_consumer"; do
    (cd "$work/run" && LD_LIBRARY_PATH="$libdir" PATH=bin COMSPEC='C:\cmd.exe' "$consumer" \
        >"$work/out" 2>/dev/null)
    if ! diff -u "$source/tests/consumers/expected.txt" "$work/out"; then
        echo "$(basename "$consumer") printed something else"
        exit 1
    fi
done

shared=$(find "$libdir" -maxdepth 1 -name 'libcmdkit.so.*' | head -n 1)
archive=$(find "$libdir" -maxdepth 1 -name 'libcmdkit.a' | head -n 1)
[ -z "$archive" ] || check_archive nm "$archive"
if [ -n "$shared" ]; then
    exported=$(nm -D --defined-only "$shared" | awk '{print $3}' | sort | tr '\n' ' ')
    if [ "$exported" != "$public" ]; then
        echo "shared library exports: $exported"
        echo "expected only:          $public"
        exit 1
    fi
fi
echo "installed package: C (pkg-config) and C++ (find_package) consumers agree; exports are the public interface only"
