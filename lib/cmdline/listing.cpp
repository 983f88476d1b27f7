#include "cmdline.h"

#include <cstdio>

namespace {

// A command without a name, which only a list built by hand can hold,
// shows as `cmd[N] = ` and its line feed.
void print_command(int index, char **vector) {
    std::printf("cmd[%d] = ", index);
    for (char **argument = vector; *argument != nullptr; ++argument)
        std::printf("%s ", *argument);
    std::putchar('\n');
}

void print_stream(const char *label, const char *target, const char *default_name) {
    std::printf("%s = %s\n", label, target != nullptr ? target : default_name);
}

} // namespace

extern "C" void print_pipeline(char ***list, const char *input, const char *output,
                               const char *errput) {
    if (list != nullptr) {
        for (int index = 0; list[index] != nullptr; ++index)
            print_command(index, list[index]);
    }
    print_stream("input", input, "<stdin>");
    print_stream("output", output, "<stdout>");
    print_stream("errput", errput, "<stderr>");
}
