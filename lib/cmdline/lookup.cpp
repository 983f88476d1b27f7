#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Tried in this order; the first that exists in a directory wins there.
const char *const executable_extensions[] = {".com", ".exe", ".bat", ".cmd"};

struct command_name {
    const char *begin;
    const char *end;
    const char *rest; // what follows the name on the line
};

// The name is the first word, or the text between a leading pair of double
// quotes.  After an unquoted name the rest keeps its leading white space;
// after a quoted one it starts behind the closing quote, which is not part of
// the command any more once the found path replaces the name.
bool delimit_name(const char *line, command_name &name) {
    const char *p = line;
    while (is_white_space(*p))
        ++p;
    if (*p == '"') {
        name.begin = p + 1;
        name.end = std::strchr(name.begin, '"');
        if (name.end == nullptr)
            return false;
        name.rest = name.end + 1;
        return true;
    }
    name.begin = p;
    while (*p != '\0' && !is_white_space(*p))
        ++p;
    name.end = p;
    name.rest = p;
    return true;
}

// Only the text after the last dot counts, so `..\tool` or `tool.txt` carry
// no extension and get each executable extension appended.
bool has_executable_extension(const char *name) {
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return false;
    for (const char *extension : executable_extensions) {
        if (platform_stricmp(dot, extension) == 0)
            return true;
    }
    return false;
}

void trace(const char *before, const char *text, const char *after) {
    std::fputs("look for command: ", stderr);
    std::fputs(before, stderr);
    std::fputs(text != nullptr ? text : "(null)", stderr);
    std::fputs(after, stderr);
}

// Walks the current directory and then every entry of PATH.  Entries are
// used exactly as written (no trimming, no quote removal), and empty ones,
// from doubled, leading or trailing semicolons, are skipped.  Splitting by
// hand instead of with strtok leaves no hidden state for callers to trip on.
class search_directories {
  public:
    explicit search_directories(const char *path) : next_(path != nullptr ? path : "") {}

    bool next(const char *&begin, size_t &length) {
        if (!current_directory_done_) {
            current_directory_done_ = true;
            begin = ".";
            length = 1;
            return true;
        }
        while (*next_ == ';')
            ++next_;
        if (*next_ == '\0')
            return false;
        begin = next_;
        while (*next_ != '\0' && *next_ != ';')
            ++next_;
        length = static_cast<size_t>(next_ - begin);
        return true;
    }

  private:
    const char *next_;
    bool current_directory_done_ = false;
};

// Directory and name are always joined with a backslash, even after a
// directory that already ends in one: `C:\bin\` gives `C:\bin\\tool.com`.
bool try_candidate(text_buffer &candidate, const char *directory, size_t length, const char *name,
                   const char *extension) {
    text_clear(candidate);
    text_append(candidate, directory, length);
    text_append(candidate, "\\", 1);
    text_append(candidate, name);
    text_append(candidate, extension);
    trace("trying ", candidate.data, "\n");
    return platform_path_exists(candidate.data);
}

// Any existing entry ends the search, a directory named like the program
// included; telling them apart is left to whoever starts the program.
bool find_in_directory(text_buffer &candidate, const char *directory, size_t length,
                       const char *name, bool typed_extension) {
    if (typed_extension)
        return try_candidate(candidate, directory, length, name, "");
    for (const char *extension : executable_extensions) {
        if (try_candidate(candidate, directory, length, name, extension))
            return true;
    }
    return false;
}

bool search(text_buffer &candidate, const char *name) {
    bool typed_extension = has_executable_extension(name);
    search_directories directories(platform_getenv("PATH"));
    const char *directory = nullptr;
    size_t length = 0;
    while (directories.next(directory, length)) {
        if (find_in_directory(candidate, directory, length, name, typed_extension))
            return true;
    }
    return false;
}

// A path holding white space is quoted where it starts a command line:
// unquoted, the started program would see a different argument list, and a
// system starting the line by itself would run `C:\Program.exe`.  The rest
// of the line must not touch the path either: after a quoted name glued to
// what follows (`"tool"a`) one space goes in between, or the started
// program would be named `tool.exea`.
char *command_line_of(const char *program, const char *rest) {
    const char *separator = *rest != '\0' && !is_white_space(*rest) ? " " : "";
    if (holds_white_space(program))
        return concatn("\"", program, "\"", separator, rest, static_cast<char *>(nullptr));
    return concat3(program, separator, rest);
}

// A value that already begins with a quote was quoted by whoever set it;
// wrapping it again would leave the path unquoted between two empty pairs.
char *interpreter_form(const char *cmdline) {
    const char *comspec = platform_getenv("COMSPEC");
    if (comspec == nullptr)
        return nullptr;
    if (comspec[0] != '"' && holds_white_space(comspec))
        return concatn("\"", comspec, "\" /c ", cmdline, static_cast<char *>(nullptr));
    return concatn(comspec, " /c ", cmdline, static_cast<char *>(nullptr));
}

char *copy_name(const command_name &name) {
    auto length = static_cast<size_t>(name.end - name.begin);
    char *copy = static_cast<char *>(xmalloc(length + 1));
    std::memcpy(copy, name.begin, length);
    copy[length] = '\0';
    return copy;
}

} // namespace

extern "C" int look_for_cmd(const char *cmdline, char **app_name, char **new_cmd) {
    char *unused_app = nullptr;
    char *unused_cmd = nullptr;
    char **app_out = app_name != nullptr ? app_name : &unused_app;
    char **cmd_out = new_cmd != nullptr ? new_cmd : &unused_cmd;
    *app_out = nullptr;
    *cmd_out = nullptr;
    if (cmdline == nullptr)
        return 0;

    command_name name{};
    if (!delimit_name(cmdline, name)) {
        std::fputs("Look_for_cmd: malformed command (\" not terminated)\n", stderr);
        return 0;
    }
    char *program = copy_name(name);
    trace("app_name = ", program, "\n");

    text_buffer candidate;
    char *command = nullptr;
    if (search(candidate, program)) {
        std::free(program);
        command = command_line_of(candidate.data, name.rest);
        program = xstrdup(candidate.data);
    } else {
        trace("", program, " not found, concatenating comspec\n");
        command = interpreter_form(cmdline);
        std::free(program);
        program = nullptr;
    }
    text_release(candidate);
    trace("new_cmd = ", command, ", app_name = ");
    std::fputs(program != nullptr ? program : "(null)", stderr);
    std::fputc('\n', stderr);

    *app_out = program;
    *cmd_out = command;
    std::free(unused_app);
    std::free(unused_cmd);
    return 1;
}
