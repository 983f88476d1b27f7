#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"

#include <cerrno>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// The interpreter reads a line of at most 8,191 characters.
constexpr size_t longest_interpreter_line = 8191;

// How the interpreter is started: command extensions on (`%cd:~,%` needs
// them), delayed expansion off (so `!` is inert), no AutoRun commands from
// the registry, and /c with outer quotes, which it strips before reading the
// rest as one command.
const char interpreter_prefix[] = "cmd.exe /e:ON /v:OFF /d /c \"";

bool is_line_end(char c) {
    return c == '\r' || c == '\n';
}

// Bytes the interpreter reads as part of a plain word wherever they stand;
// everything else, every byte above 0x7F included, is quoted.  `*` and `?`
// are quoted too: a program built to expand wildcards leaves quoted ones
// alone.
bool is_plain(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("#$+-./:@\\_", c) != nullptr);
}

bool needs_quotes(const char *argument) {
    if (*argument == '\0' || argument[std::strlen(argument) - 1] == '\\')
        return true;
    for (const char *p = argument; *p != '\0'; ++p) {
        if (!is_plain(*p))
            return true;
    }
    return false;
}

// The interpreter expands %NAME% everywhere, quotes or not, and on its
// command line `%%` is no escape.  `%%cd:~,%` is: the first `%` finds no
// name and stays, and `%cd:~,%` (an empty substring of the current
// directory) expands to nothing, so one `%` remains and can never pair
// with another to form a name.
void put_text(text_sink &sink, const char *text, size_t length) {
    for (const char *p = text; p < text + length; ++p) {
        const char *percent = static_cast<const char *>(std::memchr(p, '%', text + length - p));
        const char *stop = percent != nullptr ? percent : text + length;
        sink.put(p, static_cast<size_t>(stop - p));
        if (percent == nullptr)
            return;
        sink.put("%%cd:~,%");
        p = percent;
    }
}

void put_character(text_sink &sink, char c) {
    put_text(sink, &c, 1);
}

// Inside quotes `""` is a literal quote to the C runtimes since 2008 and
// toggles the interpreter's quoting twice, so it never leaves the quotes.
void put_quoted(text_sink &sink, const char *argument) {
    put_quoted_for_c_runtime(sink, argument, "\"\"", put_character);
}

// The interpreter does not take the verbatim \\?\ form.  Only \\?\X:\ and
// \\?\UNC\ have a plain twin (X:\ and \\server), and only while the rest
// is a name the system would not clean (a verbatim `run.bat.` is another
// file than `run.bat`) and holds no device name, which a verbatim path
// reaches as a file and a plain one as the device.  Every other verbatim,
// object-manager or device path names something no plain path does.
struct batch_path {
    const char *lead = "";
    const char *rest = nullptr;
};

bool begins_with_ignoring_case(const char *text, const char *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (ascii_lower(*text) != ascii_lower(*prefix))
            return false;
    }
    return true;
}

bool plain_form(const char *path, batch_path &form) {
    form.rest = path;
    if (std::strncmp(path, "\\\\?\\", 4) == 0) {
        const char *rest = path + 4;
        if (has_drive_prefix(rest) && rest[2] == '\\') {
            form.rest = rest;
        } else if (begins_with_ignoring_case(rest, "UNC\\")) {
            form.lead = "\\\\";
            form.rest = rest + 4;
        } else {
            return false;
        }
        if (holds_device_segment(form.rest))
            return false;
    } else if (std::strncmp(path, "\\??\\", 4) == 0 || std::strncmp(path, "\\\\.\\", 4) == 0) {
        return false;
    }
    return is_normal_form(form.rest);
}

bool has_batch_extension(const char *name, size_t length) {
    if (length < 4)
        return false;
    return begins_with_ignoring_case(name + length - 4, ".bat") ||
           begins_with_ignoring_case(name + length - 4, ".cmd");
}

// A path the interpreter runs as written: absolute or relative with a
// directory (a bare name would be searched for in its current directory),
// no quote or line end to break out of the quotes, no stream name after a
// colon (`x.bat::$DATA`), a batch extension.
bool is_runnable_batch_path(const batch_path &path) {
    const char *text = path.rest;
    if (*path.lead == '\0' && std::strchr(text, '\\') == nullptr)
        return false;
    if (*text == '\0' || text[std::strlen(text) - 1] == '\\' || std::strchr(text, '"') != nullptr)
        return false;
    for (const char *p = text; *p != '\0'; ++p) {
        const bool drive_colon = *path.lead == '\0' && p == text + 1 && has_drive_prefix(text);
        if (is_line_end(*p) || (*p == ':' && !drive_colon))
            return false;
    }
    return has_batch_extension(text, std::strlen(text));
}

// A line end anywhere ends the interpreter's line, quotes or not; there is
// no way to pass one.
bool is_composable(char **argv, batch_path &path) {
    if (argv == nullptr || argv[0] == nullptr || !plain_form(argv[0], path) ||
        !is_runnable_batch_path(path))
        return false;
    for (char **argument = argv + 1; *argument != nullptr; ++argument) {
        if (std::strpbrk(*argument, "\r\n") != nullptr)
            return false;
    }
    return true;
}

void compose(text_sink &sink, char **argv) {
    batch_path path;
    plain_form(argv[0], path);
    sink.put(interpreter_prefix);
    sink.put('"');
    sink.put(path.lead);
    put_text(sink, path.rest, std::strlen(path.rest));
    sink.put('"');
    for (char **argument = argv + 1; *argument != nullptr; ++argument) {
        sink.put(' ');
        if (needs_quotes(*argument))
            put_quoted(sink, *argument);
        else
            sink.put(*argument);
    }
    sink.put('"');
}

} // namespace

// The system decides by the name it has cleaned, so `run.bat\.` and
// `run.bat\sub\..` are batch files too.
extern "C" int cmdkit_is_batch_path(const char *path) {
    if (path == nullptr)
        return 0;
    size_t length = 0;
    const char *name = last_normalised_segment(path, length);
    return has_batch_extension(name, length) ? 1 : 0;
}

extern "C" char *argv_to_batch_cmdline(char **argv) {
    batch_path path;
    if (!is_composable(argv, path)) {
        errno = EINVAL;
        return nullptr;
    }
    return compose_within(compose, argv, longest_interpreter_line);
}
