// Composition of whatever the parser accepts, and the round trip where its
// conditions hold: non-empty arguments and targets free of quotes,
// backslashes and operator characters, command names not starting with `(`,
// and targets without white space; the compositions for Windows and batch
// files against models of their readers; WTF-8 both ways; and the parse
// into a struct, which must give the same commands, the targets unquoted
// and `append` exactly when `>>` was parsed.
#include "cmdline.h"
#include "cmdline_internal.h"
#include "cmdrun.h"
#include "fuzz_line.h"
#include "wtf8.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace cmdkit::internal;

namespace {

using pipeline = std::vector<std::vector<std::string>>;

void check(bool holds) {
    if (!holds)
        std::abort();
}

bool round_trips(const std::string &word) {
    if (word.empty())
        return false;
    const char *refused = semicolon_is_separator != 0 ? "\"'\\<>|;" : "\"'\\<>|";
    return word.find_first_of(refused) == std::string::npos;
}

pipeline values_of(char ***list) {
    pipeline commands;
    for (char ***vector = list; *vector != nullptr; ++vector) {
        commands.emplace_back();
        for (char **argument = *vector; *argument != nullptr; ++argument)
            commands.back().emplace_back(*argument);
    }
    return commands;
}

void free_all(char ***list, char *input, char *output) {
    free_pipeline(list);
    std::free(input);
    std::free(output);
}

bool qualifies(const pipeline &commands, const char *input, const char *output) {
    for (const auto &arguments : commands) {
        if (arguments[0][0] == '(')
            return false;
        for (const std::string &argument : arguments) {
            if (!round_trips(argument))
                return false;
        }
    }
    for (const char *target : {input, output}) {
        if (target != nullptr && (!round_trips(target) || holds_white_space(target)))
            return false;
    }
    return true;
}

// The Microsoft C runtime's documented way of splitting a command line:
// the program name up to a space or tab outside quotes, every quote
// toggling; then arguments, where 2n backslashes and a quote give n
// backslashes and toggle the quoting, 2n+1 and a quote give n backslashes
// and a literal quote, and other backslashes are literal.  Since 2008 `""`
// inside quotes is a literal quote.
std::vector<std::string> split_like_the_c_runtime(const char *line) {
    std::vector<std::string> arguments(1);
    const char *p = line;
    for (bool quoted = false; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            arguments[0] += *p;
    }
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            return arguments;
        std::string argument;
        for (bool quoted = false;;) {
            size_t backslashes = 0;
            while (*p == '\\') {
                ++backslashes;
                ++p;
            }
            if (*p == '"') {
                argument.append(backslashes / 2, '\\');
                const bool doubled = backslashes % 2 == 0 && quoted && p[1] == '"';
                if (backslashes % 2 == 1 || doubled)
                    argument += '"';
                else
                    quoted = !quoted;
                p += doubled ? 2 : 1;
                continue;
            }
            argument.append(backslashes, '\\');
            if (*p == '\0' || (!quoted && (*p == ' ' || *p == '\t')))
                break;
            argument += *p++;
        }
        arguments.push_back(argument);
    }
}

std::vector<std::string> strings_of(char **vector) {
    std::vector<std::string> strings;
    for (char **entry = vector; *entry != nullptr; ++entry)
        strings.emplace_back(*entry);
    return strings;
}

// Every parsed command, composed for Windows, must split back into itself,
// unless its name holds a quote or names a batch file, or it is too long.
void check_windows_composition(char **vector) {
    errno = 0;
    char *line = argv_to_windows_cmdline(vector);
    if (line == nullptr) {
        check((errno == EINVAL &&
               (std::strchr(vector[0], '"') != nullptr || cmdkit_is_batch_path(vector[0]))) ||
              errno == E2BIG);
        return;
    }
    check(utf16_units(line, std::strlen(line)) <= 32766);
    check(split_like_the_c_runtime(line) == strings_of(vector));
    std::free(line);
}

// The interpreter's reading: /c strips the outer quotes; %NAME% expands
// first, every NAME but `cd:~,` (nothing) counting as defined, `%%` keeping
// its first `%`; then `"` toggles quoting, outside which & | < > ^ ( ) act.
std::string as_the_interpreter_reads(const std::string &line) {
    const std::string start = "cmd.exe /e:ON /v:OFF /d /c \"";
    check(line.compare(0, start.size(), start) == 0 && line.back() == '"');
    const std::string body = line.substr(start.size(), line.size() - start.size() - 1);
    std::string expanded;
    for (size_t at = 0; at < body.size(); ++at) {
        const size_t close = body[at] == '%' ? body.find('%', at + 1) : std::string::npos;
        if (close == std::string::npos || close == at + 1) {
            expanded += body[at];
            continue;
        }
        check(body.compare(at + 1, close - at - 1, "cd:~,") == 0); // a variable formed
        at = close;
    }
    bool quoted = false;
    for (char c : expanded) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted)
            check(std::strchr("&|<>^()", c) == nullptr);
    }
    check(!quoted);
    return expanded;
}

// A path Windows would change before using it: `/`, a `.` or `..`
// segment, a segment ending in a dot or a space.
bool cleaned_by_windows(const std::string &path) {
    if (path.find('/') != std::string::npos)
        return true;
    for (size_t begin = 0; begin <= path.size();) {
        const size_t end = std::min(path.find('\\', begin), path.size());
        const std::string segment = path.substr(begin, end - begin);
        if (segment == "." || segment == ".." ||
            (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')))
            return true;
        begin = end + 1;
    }
    return false;
}

// Every parsed command as a batch file's arguments: refused only for a line
// end or a path the interpreter cannot run, else giving back the vector.
void check_batch_composition(char **vector) {
    std::vector<std::string> expected = strings_of(vector);
    expected[0] = "C:\\x\\" + expected[0] + ".bat";
    std::vector<char *> argv;
    for (std::string &entry : expected)
        argv.push_back(entry.data());
    argv.push_back(nullptr);
    errno = 0;
    char *line = argv_to_batch_cmdline(argv.data());
    if (line == nullptr) {
        std::string all;
        for (const std::string &entry : expected)
            all += entry;
        check(errno == E2BIG ||
              (errno == EINVAL && (all.find_first_of("\r\n") != all.npos ||
                                   expected[0].find_first_of("\":", 2) != all.npos ||
                                   cleaned_by_windows(expected[0]))));
        return;
    }
    check(utf16_units(line, std::strlen(line)) <= 8191);
    check(split_like_the_c_runtime(as_the_interpreter_reads(line).c_str()) == expected);
    std::free(line);
}

// Units come back from WTF-8; bytes that convert come back, so any other
// byte sequence is refused.
void check_wtf8(const std::string &bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    std::string text(3 * units.size(), '\0');
    text.resize(utf16_to_wtf8(units.data(), units.size(), text.data()));
    std::u16string back(bytes.size() + text.size(), u'\0');
    size_t count = 0;
    check(wtf8_to_utf16(text.data(), text.size(), back.data(), count) &&
          back.substr(0, count) == units && utf16_units(text.data(), text.size()) == count);
    if (wtf8_to_utf16(bytes.data(), bytes.size(), back.data(), count)) {
        text.resize(3 * count);
        text.resize(utf16_to_wtf8(back.data(), count, text.data()));
        check(text == bytes);
    }
}

std::string text_of(const char *target) {
    return target != nullptr ? target : "<none>";
}

std::string unquoted(const char *target) {
    if (target == nullptr)
        return text_of(target);
    std::string text(std::strlen(target), '\0');
    return unquote_word(text.data(), target, target + text.size());
}

// A separator with text after it is refused by the struct's parse alone.
void check_struct_parse(const std::string &line, char ***list, const char *input,
                        const char *output) {
    cmdkit_pipeline parsed = CMDKIT_PIPELINE_INIT;
    const int result = cmdkit_parse_pipeline(line.c_str(), &parsed);
    if (list == nullptr || result != 0) {
        check(result == -1 && errno == EINVAL && parsed.commands == nullptr);
        // Only the text after a separator, or a `<` that may follow a `|`,
        // is refused here and not by parse_cmdline.
        check(list == nullptr || semicolon_is_separator != 0 ||
              (input != nullptr && list[1] != nullptr));
        return;
    }
    check(values_of(parsed.commands) == values_of(list));
    check(text_of(parsed.input) == unquoted(input) && text_of(parsed.output) == unquoted(output));
    check(parsed.append == 0 || (output != nullptr && line.find(">>") != std::string::npos));
    check(output == nullptr || line.find('>') != std::string::npos);
    cmdkit_clear_pipeline(&parsed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line;
    if (!take_fuzz_line(data, size, line))
        return 0;
    check_wtf8(line);
    char *input = nullptr;
    char *output = nullptr;
    char ***list = parse_cmdline(line.c_str(), &input, &output, nullptr);
    check_struct_parse(line, list, input, output);
    if (list == nullptr) {
        free_all(nullptr, input, output);
        return 0;
    }
    char *text = pipeline_to_cmdline(list, input, output);
    check(text != nullptr);
    for (char ***vector = list; *vector != nullptr; ++vector) {
        char *command = argv_to_cmdline(*vector);
        check(command != nullptr && std::strstr(text, command) != nullptr);
        std::free(command);
        check_windows_composition(*vector);
        check_batch_composition(*vector);
    }

    pipeline commands = values_of(list);
    if (qualifies(commands, input, output)) {
        char *again_input = nullptr;
        char *again_output = nullptr;
        char ***again = parse_cmdline(text, &again_input, &again_output, nullptr);
        check(again != nullptr);
        check(values_of(again) == commands);
        check(text_of(again_input) == text_of(input));
        check(text_of(again_output) == text_of(output));
        free_all(again, again_input, again_output);
    }
    std::free(text);
    free_all(list, input, output);
    return 0;
}
