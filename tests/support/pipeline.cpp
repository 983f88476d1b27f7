#include "pipeline.h"

#include "cmdkit.h"

#include <cstdlib>

namespace testing_support {

pipeline to_values(char ***list) {
    pipeline commands;
    for (char ***vector = list; *vector != nullptr; ++vector) {
        command arguments;
        for (char **argument = *vector; *argument != nullptr; ++argument)
            arguments.emplace_back(*argument);
        commands.push_back(arguments);
    }
    return commands;
}

char ***make_pipeline(const pipeline &commands) {
    auto list = static_cast<char ***>(xmalloc((commands.size() + 1) * sizeof(char **)));
    for (size_t i = 0; i < commands.size(); ++i) {
        auto vector = static_cast<char **>(xmalloc((commands[i].size() + 1) * sizeof(char *)));
        for (size_t j = 0; j < commands[i].size(); ++j)
            vector[j] = xstrdup(commands[i][j].c_str());
        vector[commands[i].size()] = nullptr;
        list[i] = vector;
    }
    list[commands.size()] = nullptr;
    return list;
}

} // namespace testing_support
