#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "xalloc_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// CreateProcessW takes at most 32,767 UTF-16 units, its terminating NUL
// included.
constexpr size_t longest_command_line = 32766;

// The Microsoft C runtime and CommandLineToArgvW end an argument at a space
// or a tab; the line feed and vertical tab are quoted too, as every careful
// quoting routine on Windows does, so that no splitter can read them as a
// separator.
const char separators[] = " \t\n\v";

// A program built to expand wildcards (setargv.obj, mingw-w64's
// _dowildcard) expands an unquoted `*` or `?`; msvcrt.dll's expansion
// leaves quoted ones alone.
bool needs_quotes(const char *argument) {
    return *argument == '\0' || std::strpbrk(argument, separators) != nullptr ||
           std::strpbrk(argument, "\"*?") != nullptr;
}

void put_character(text_sink &sink, char c) {
    sink.put(c);
}

// After 2n doubled backslashes, \" is one more backslash and a quote: a
// literal quote.
void put_argument(text_sink &sink, const char *argument) {
    if (needs_quotes(argument))
        put_quoted_for_c_runtime(sink, argument, "\\\"", put_character);
    else
        sink.put(argument);
}

// The program name is read up to the first white space outside quotes,
// with every quote toggling and no escapes: a name holding a quote has no
// spelling at all, and a trailing backslash needs no doubling.
void put_program_name(text_sink &sink, const char *name) {
    put_maybe_quoted(sink, name, *name == '\0' || std::strpbrk(name, separators) != nullptr);
}

void compose(text_sink &sink, char **argv) {
    put_program_name(sink, argv[0]);
    for (char **argument = argv + 1; *argument != nullptr; ++argument) {
        sink.put(' ');
        put_argument(sink, *argument);
    }
}

char *refuse(int error) {
    errno = error;
    return nullptr;
}

} // namespace

namespace cmdkit::internal {

void put_maybe_quoted(text_sink &sink, const char *text, bool quoted) {
    if (quoted)
        sink.put('"');
    sink.put(text);
    if (quoted)
        sink.put('"');
}

void put_quoted_for_c_runtime(text_sink &sink, const char *argument, const char *escaped_quote,
                              void (*put_other)(text_sink &, char)) {
    sink.put('"');
    for (const char *p = argument;; ++p) {
        size_t backslashes = 0;
        while (*p == '\\') {
            ++backslashes;
            ++p;
        }
        if (*p == '\0') {
            sink.put('\\', backslashes * 2);
            break;
        }
        if (*p == '"') {
            sink.put('\\', backslashes * 2);
            sink.put(escaped_quote);
        } else {
            sink.put('\\', backslashes);
            put_other(sink, *p);
        }
    }
    sink.put('"');
}

// No unit takes more than three bytes, so a text of more bytes than three
// times the limit is too long without counting, and nothing is allocated
// for it.
char *compose_within(void (*compose)(text_sink &, char **), char **argv, size_t longest) {
    auto run = [&](text_sink &sink) { compose(sink, argv); };
    const size_t bytes = measured_length(run);
    if (bytes / 3 > longest)
        return refuse(E2BIG);
    char *line = write_measured(run, bytes);
    if (utf16_units(line, bytes) > longest) {
        std::free(line);
        return refuse(E2BIG);
    }
    return line;
}

} // namespace cmdkit::internal

extern "C" char *argv_to_windows_cmdline(char **argv) {
    if (argv == nullptr)
        return refuse(EINVAL);
    if (argv[0] == nullptr)
        return checked_strdup("");
    // A batch program is run by the command interpreter, which reads this
    // quoting differently; argv_to_batch_cmdline composes for it.
    if (std::strchr(argv[0], '"') != nullptr || cmdkit_is_batch_path(argv[0]))
        return refuse(EINVAL);
    return compose_within(compose, argv, longest_command_line);
}
