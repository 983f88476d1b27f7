#include "cmdkit.h"
#include "cmdline.h"

#include <cerrno>
#include <cstring>

namespace {

// CreateProcess takes at most 32,767 characters, its terminating NUL
// included.  Lengths are counted in bytes, which is exact for single-byte
// code pages and errs on the safe side for the others.
constexpr size_t longest_command_line = 32766;

// The Microsoft C runtime and CommandLineToArgvW end an argument at a space
// or a tab; the line feed and vertical tab are quoted too, as every careful
// quoting routine on Windows does, so that no splitter can read them as a
// separator.
const char separators[] = " \t\n\v";

// Measures the command line while `out` is null, writes it afterwards; the
// same code does both, so the two passes can never disagree.  Measuring
// stops counting once the line is too long, so the count cannot overflow.
struct line_sink {
    char *out = nullptr;
    size_t length = 0;

    bool too_long() const { return length > longest_command_line; }

    void put(char c, size_t count = 1) {
        if (out != nullptr)
            std::memset(out + length, c, count);
        length += count;
    }

    void put(const char *text, size_t count) {
        if (out != nullptr && count != 0)
            std::memcpy(out + length, text, count);
        length += count;
    }
};

bool needs_quotes(const char *argument) {
    return *argument == '\0' || std::strpbrk(argument, separators) != nullptr ||
           std::strchr(argument, '"') != nullptr;
}

// Inside quotes the splitters read backslashes literally except before a
// double quote: 2n backslashes and a quote give n backslashes and end the
// quoted text, 2n+1 and a quote give n backslashes and a literal quote.  So
// a run before a quote, or before the closing quote we add, is doubled.
void put_quoted(line_sink &sink, const char *argument) {
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
            sink.put('\\', backslashes * 2 + 1);
            sink.put('"');
        } else {
            sink.put('\\', backslashes);
            sink.put(*p);
        }
        if (sink.too_long())
            return;
    }
    sink.put('"');
}

void put_argument(line_sink &sink, const char *argument) {
    if (needs_quotes(argument))
        put_quoted(sink, argument);
    else
        sink.put(argument, std::strlen(argument));
}

// The program name is read up to the first white space outside quotes,
// with every quote toggling and no escapes: a name holding a quote has no
// spelling at all, and a trailing backslash needs no doubling.
bool put_program_name(line_sink &sink, const char *name) {
    if (std::strchr(name, '"') != nullptr)
        return false;
    bool quoted = *name == '\0' || std::strpbrk(name, separators) != nullptr;
    if (quoted)
        sink.put('"');
    sink.put(name, std::strlen(name));
    if (quoted)
        sink.put('"');
    return true;
}

bool compose(line_sink &sink, char **argv) {
    if (!put_program_name(sink, argv[0]))
        return false;
    for (char **argument = argv + 1; *argument != nullptr && !sink.too_long(); ++argument) {
        sink.put(' ');
        put_argument(sink, *argument);
    }
    return true;
}

} // namespace

extern "C" char *argv_to_windows_cmdline(char **argv) {
    if (argv == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (argv[0] == nullptr)
        return xstrdup("");
    line_sink measure;
    if (!compose(measure, argv)) {
        errno = EINVAL;
        return nullptr;
    }
    if (measure.too_long()) {
        errno = E2BIG;
        return nullptr;
    }
    line_sink write;
    write.out = static_cast<char *>(xmalloc(measure.length + 1));
    compose(write, argv);
    write.out[write.length] = '\0';
    return write.out;
}
