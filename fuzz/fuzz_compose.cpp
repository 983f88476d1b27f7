// Composition of whatever the parser accepts, and the round trip where its
// conditions hold: non-empty arguments and targets free of quotes,
// backslashes and operator characters, command names not starting with `(`,
// and targets without white space.
#include "cmdline.h"
#include "cmdline_internal.h"
#include "fuzz_line.h"
#include "support/pipeline.h"

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
    testing_support::free_pipeline(list);
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
