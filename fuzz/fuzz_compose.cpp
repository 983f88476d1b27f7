// Composition of whatever the parser accepts, and the round trip where its
// conditions hold: non-empty arguments and targets free of quotes,
// backslashes and operator characters, command names not starting with `(`,
// and targets without white space.
#include "cmdline.h"
#include "cmdline_internal.h"
#include "fuzz_line.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
// and a literal quote, and other backslashes are literal.
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
                if (backslashes % 2 == 1)
                    argument += '"';
                else
                    quoted = !quoted;
                ++p;
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

// Every parsed command, composed for Windows, must split back into itself,
// unless its name holds a quote (refused) or the line is too long.
void check_windows_composition(char **vector) {
    errno = 0;
    char *line = argv_to_windows_cmdline(vector);
    std::vector<std::string> arguments;
    for (char **argument = vector; *argument != nullptr; ++argument)
        arguments.emplace_back(*argument);
    if (line == nullptr) {
        check((errno == EINVAL && std::strchr(vector[0], '"') != nullptr) || errno == E2BIG);
        return;
    }
    check(std::strlen(line) <= 32766);
    check(split_like_the_c_runtime(line) == arguments);
    std::free(line);
}

std::string text_of(const char *target) {
    return target != nullptr ? target : "<none>";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line;
    if (!take_fuzz_line(data, size, line))
        return 0;
    char *input = nullptr;
    char *output = nullptr;
    char ***list = parse_cmdline(line.c_str(), &input, &output, nullptr);
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
