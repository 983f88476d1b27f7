#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"
#include "xalloc_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace cmdkit::internal;

namespace {

// Tried in this order; the first that exists in a directory wins there.
// The interpreter runs the last two, so a caller that wants no batch files
// stops after the first two.
const char *const executable_extensions[] = {".com", ".exe", ".bat", ".cmd"};
constexpr size_t all_extensions = 4;
constexpr size_t extensions_without_batch = 2;

constexpr unsigned known_flags =
    CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY | CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE |
    CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES | CMDKIT_LOOKUP_DIRECT_PATHS | CMDKIT_LOOKUP_NO_BATCH |
    CMDKIT_LOOKUP_NO_FALLBACK | CMDKIT_LOOKUP_HOST_RULES;

struct free_text {
    void operator()(char *text) const { std::free(text); }
};
using owned_text = std::unique_ptr<char, free_text>;

// How the search goes, from the caller's options or their defaults.
struct search_policy {
    bool current_directory = true;
    bool unquote_entries = false;
    bool direct_paths = false;
    bool fallback = true;
    // The host's own rules on POSIX: `:` between entries, an empty entry
    // for the current directory, no extensions, executable files only.
    bool host_rules = false;
    size_t extensions = all_extensions;
};

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

enum class typed_extension { none, allowed, refused };

// Only the text after the last dot counts, so `..\tool` or `tool.txt` carry
// no extension and get each executable extension appended.  A batch
// extension the caller does not allow is refused rather than extended:
// `x.bat` must not find `x.bat.exe` in its place.
typed_extension extension_of(const char *name, const search_policy &policy) {
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return typed_extension::none;
    for (size_t i = 0; i < all_extensions; ++i) {
        if (platform_stricmp(dot, executable_extensions[i]) == 0)
            return i < policy.extensions ? typed_extension::allowed : typed_extension::refused;
    }
    return typed_extension::none;
}

// A name with a directory or drive part, `bin\tool`, `./tool` or `C:tool`.
bool names_a_path(const char *name) {
    const bool drive = ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) &&
                       name[1] == ':';
    return drive || std::strpbrk(name, "\\/") != nullptr;
}

void trace(trace_line &line, const char *before, const char *text, const char *after) {
    if (tracing())
        line.put("look for command: ").put(before).put(text).put(after).send();
}

// Walks the current directory, unless the policy leaves it out, and then
// every entry of PATH.  Entries are used exactly as written (no trimming,
// no quote removal) unless the caller asks for the interpreter's reading,
// where a `"` toggles quoting and is dropped and a `;` inside quotes does
// not split.  Empty entries, from doubled, leading or trailing semicolons,
// are skipped, except under the host's rules, where they stand for the
// current directory.  Splitting by hand instead of with strtok leaves no
// hidden state for callers to trip on.
class search_directories {
  public:
    search_directories(const char *path, const search_policy &policy)
        : next_(path != nullptr && (*path != '\0' || policy.host_rules) ? path : nullptr),
          current_directory_(policy.current_directory),
          unquote_(policy.unquote_entries && !policy.host_rules),
          separator_(policy.host_rules ? ':' : ';'), keep_empty_(policy.host_rules) {}

    // Writes the next directory into `directory`; false when none is left.
    // `from_path` tells whether it came from PATH (an empty one as ".").
    bool next(text_buffer &directory, bool &from_path) {
        text_clear(directory);
        from_path = !current_directory_;
        if (current_directory_) {
            current_directory_ = false;
            text_append(directory, ".", 1);
            return true;
        }
        while (next_ != nullptr) {
            take_entry(directory);
            if (directory.length != 0)
                return true;
            if (keep_empty_) {
                text_append(directory, ".", 1);
                return true;
            }
        }
        return false;
    }

  private:
    void take_entry(text_buffer &directory) {
        bool quoted = false;
        const char *run = next_;
        const char *p = next_;
        for (; *p != '\0' && (quoted || *p != separator_); ++p) {
            if (unquote_ && *p == '"') {
                text_append(directory, run, static_cast<size_t>(p - run));
                run = p + 1;
                quoted = !quoted;
            }
        }
        text_append(directory, run, static_cast<size_t>(p - run));
        // A separator always has an entry after it, empty at the end.
        next_ = *p == separator_ ? p + 1 : nullptr;
    }

    const char *next_;
    bool current_directory_;
    bool unquote_;
    char separator_;
    bool keep_empty_;
};

struct search {
    const char *name;
    typed_extension typed;
    const search_policy &policy;
    text_buffer candidate;
    trace_line trace_output;
    // Where the candidate found came from: a PATH entry (the first
    // `entry_length` bytes of the candidate), or the current directory or
    // the name as written when `from_path` is false.
    bool from_path = false;
    size_t entry_length = 0;

    ~search() { text_release(candidate); }

    bool try_candidate() {
        trace(trace_output, "trying ", candidate.data, "\n");
        return policy.host_rules ? platform_is_executable_file(candidate.data)
                                 : platform_path_exists(candidate.data);
    }

    // Tries the name after what `candidate` holds (a directory and its
    // backslash, or nothing for a name tried as written), as typed when it
    // carries its extension, else with each allowed extension in turn.
    // Any existing entry ends the search, a directory named like the
    // program included; telling them apart is left to whoever starts it.
    bool try_name() {
        text_append(candidate, name);
        if (typed == typed_extension::allowed || policy.host_rules)
            return try_candidate();
        const size_t base = candidate.length;
        for (size_t i = 0; i < policy.extensions; ++i) {
            text_truncate(candidate, base);
            text_append(candidate, executable_extensions[i]);
            if (try_candidate())
                return true;
        }
        return false;
    }

    // Directory and name are always joined with a backslash, even after a
    // directory that already ends in one: `C:\bin\` gives `C:\bin\\tool.com`.
    // Under the host's rules a name holding `/` is tried as written, and
    // directory and name are joined with `/`.
    bool run(const char *path) {
        if (typed == typed_extension::refused && !policy.host_rules)
            return false;
        const bool as_written = policy.host_rules ? std::strchr(name, '/') != nullptr
                                                  : policy.direct_paths && names_a_path(name);
        if (as_written) {
            text_clear(candidate);
            return try_name();
        }
        search_directories directories(path, policy);
        while (directories.next(candidate, from_path)) {
            entry_length = candidate.length;
            text_append(candidate, policy.host_rules ? "/" : "\\", 1);
            if (try_name())
                return true;
        }
        from_path = false;
        return false;
    }
};

// A path holding white space is quoted where it starts a command line:
// unquoted, the started program would see a different argument list, and a
// system starting the line by itself would run `C:\Program.exe`.  The rest
// of the line must not touch the path either: after a quoted name glued to
// what follows (`"tool"a`) one space goes in between, or the started
// program would be named `tool.exea`.
char *command_line_of(const char *program, const char *rest) {
    const char *separator = *rest != '\0' && !is_white_space(*rest) ? " " : "";
    if (holds_white_space(program)) {
        const char *pieces[] = {"\"", program, "\"", separator, rest};
        return join_pieces(pieces, 5);
    }
    return join3(program, separator, rest);
}

// A value that already begins with a quote was quoted by whoever set it;
// wrapping it again would leave the path unquoted between two empty pairs.
char *interpreter_form(const char *comspec, const char *cmdline) {
    if (comspec == nullptr)
        return nullptr;
    if (comspec[0] != '"' && holds_white_space(comspec)) {
        const char *pieces[] = {"\"", comspec, "\" /c ", cmdline};
        return join_pieces(pieces, 4);
    }
    return join3(comspec, " /c ", cmdline);
}

char *copy_name(const command_name &name) {
    auto length = static_cast<size_t>(name.end - name.begin);
    char *copy = static_cast<char *>(checked_malloc(length + 1));
    std::memcpy(copy, name.begin, length);
    copy[length] = '\0';
    return copy;
}

// Options from a caller built against a later version may be larger; what
// this version does not know must be unset, or part of the request would
// be silently ignored.
bool acceptable(const cmdkit_lookup_options *options) {
    return options == nullptr || ((options->flags & ~known_flags) == 0 &&
                                  acceptable_struct(options, options->size, sizeof *options));
}

// Windows' own search leaves the current directory out while this variable
// is set, to anything at all, except for a name holding a backslash.
bool system_searches_current_directory(const char *name) {
    return std::strchr(name, '\\') != nullptr ||
           owned_text(platform_getenv("NoDefaultCurrentDirectoryInExePath")) == nullptr;
}

search_policy policy_of(const cmdkit_lookup_options *options, const char *name) {
    search_policy policy;
    const unsigned flags = options != nullptr ? options->flags : 0;
    policy.host_rules = (flags & CMDKIT_LOOKUP_HOST_RULES) != 0 && platform_has_host_rules;
    if ((flags & CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY) != 0 || policy.host_rules)
        policy.current_directory = false;
    else if ((flags & CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE) != 0)
        policy.current_directory = system_searches_current_directory(name);
    policy.unquote_entries = (flags & CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES) != 0;
    policy.direct_paths = (flags & CMDKIT_LOOKUP_DIRECT_PATHS) != 0;
    if ((flags & CMDKIT_LOOKUP_NO_BATCH) != 0)
        policy.extensions = extensions_without_batch;
    policy.fallback = (flags & CMDKIT_LOOKUP_NO_FALLBACK) == 0;
    return policy;
}

// The caller's value when it gave one, used as it stands, else a copy of
// the environment's, which `read` keeps for as long as it is needed.
const char *setting(const char *given, const char *variable, owned_text &read) {
    if (given != nullptr)
        return given;
    read.reset(platform_getenv(variable));
    return read.get();
}

} // namespace

namespace cmdkit::internal {

bool lookup_options_acceptable(const cmdkit_lookup_options *options) {
    return acceptable(options);
}

bool acceptable_struct(const void *given, size_t size, size_t known) {
    if (size < known)
        return false;
    const auto *extra = static_cast<const unsigned char *>(given) + known;
    for (size_t i = 0; i < size - known; ++i) {
        if (extra[i] != 0)
            return false;
    }
    return true;
}

bool find_program(const char *name, const cmdkit_lookup_options *options, const char *path,
                  found_program &found) {
    found = found_program{};
    const search_policy policy = policy_of(options, name);
    search lookup{name, extension_of(name, policy), policy, {}, {}};
    trace(lookup.trace_output, "app_name = ", name, "\n");
    if (!lookup.run(path)) {
        trace(lookup.trace_output, "", name, " not found\n");
        return false;
    }
    trace(lookup.trace_output, "found ", lookup.candidate.data, "\n");
    found.path = checked_strdup(lookup.candidate.data);
    if (lookup.from_path) {
        found.entry = static_cast<char *>(checked_malloc(lookup.entry_length + 1));
        std::memcpy(found.entry, lookup.candidate.data, lookup.entry_length);
        found.entry[lookup.entry_length] = '\0';
    }
    return true;
}

} // namespace cmdkit::internal

extern "C" int look_for_cmd_ex(const char *cmdline, const cmdkit_lookup_options *options,
                               char **app_name, char **new_cmd) {
    char *unused_app = nullptr;
    char *unused_cmd = nullptr;
    char **app_out = app_name != nullptr ? app_name : &unused_app;
    char **cmd_out = new_cmd != nullptr ? new_cmd : &unused_cmd;
    *app_out = nullptr;
    *cmd_out = nullptr;
    if (!acceptable(options)) {
        errno = EINVAL;
        return -1;
    }
    if (cmdline == nullptr)
        return 0;

    command_name name{};
    if (!delimit_name(cmdline, name)) {
        trace_text("Look_for_cmd: malformed command (\" not terminated)\n");
        return 0;
    }
    char *program = copy_name(name);
    const search_policy policy = policy_of(options, program);
    search lookup{program, extension_of(program, policy), policy, {}, {}};
    trace(lookup.trace_output, "app_name = ", program, "\n");

    char *command = nullptr;
    owned_text environment_value;
    const bool found = lookup.run(
        setting(options != nullptr ? options->path : nullptr, "PATH", environment_value));
    if (found) {
        std::free(program);
        command = command_line_of(lookup.candidate.data, name.rest);
        program = checked_strdup(lookup.candidate.data);
    } else if (!policy.fallback) {
        // Nothing is concatenated: the trace ends where the search did.
        trace(lookup.trace_output, "", program, " not found\n");
    } else {
        trace(lookup.trace_output, "", program, " not found, concatenating comspec\n");
        command = interpreter_form(
            setting(options != nullptr ? options->comspec : nullptr, "COMSPEC", environment_value),
            cmdline);
    }
    if (!found) {
        std::free(program);
        program = nullptr;
    }
    if (tracing() && (found || policy.fallback)) {
        lookup.trace_output.put("look for command: new_cmd = ").put(command);
        lookup.trace_output.put(", app_name = ").put(program).put("\n").send();
    }

    *app_out = program;
    *cmd_out = command;
    std::free(unused_app);
    std::free(unused_cmd);
    return 1;
}

extern "C" int look_for_cmd(const char *cmdline, char **app_name, char **new_cmd) {
    return look_for_cmd_ex(cmdline, nullptr, app_name, new_cmd);
}
