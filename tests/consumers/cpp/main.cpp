// The C example's work from C++, holding results in unique_ptr with free.
#include "cmdkit.h"
#include "cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};
using owned_text = std::unique_ptr<char, free_deleter>;

void free_pipeline(char ***list) {
    for (char ***command = list; *command != nullptr; ++command) {
        for (char **argument = *command; *argument != nullptr; ++argument)
            std::free(*argument);
        std::free(*command);
    }
    std::free(list);
}

const char *shown(const owned_text &text) {
    return text ? text.get() : "(none)";
}

} // namespace

int main() {
    static_assert(sizeof(CMDKIT_VERSION) > 1, "the header names its version");
    char *input = nullptr;
    char *output = nullptr;
    int count = 0;
    char ***list = parse_cmdline("tool \"a b\" | sort > out.txt", &input, &output, &count);
    if (list == nullptr)
        return 1;
    owned_text input_text(input);
    owned_text output_text(output);
    std::printf("%d commands\n", count);
    print_pipeline(list, input, output, nullptr);
    owned_text text(pipeline_to_cmdline(list, input, output));
    std::printf("composed: %s\n", text.get());
    free_pipeline(list);

    char *app_name = nullptr;
    char *new_cmd = nullptr;
    if (look_for_cmd("tool x y", &app_name, &new_cmd) != 0) {
        owned_text app(app_name);
        owned_text command(new_cmd);
        std::printf("app: %s\ncmd: %s\n", shown(app), shown(command));
    }
    return 0;
}
