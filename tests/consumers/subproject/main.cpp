// The parent's program: the C++ layer and, through c_side.c, the C one.
#include <cmdkit/cmdkit.hpp>

#include <cstdio>

extern "C" int parses_as_commands(const char *line);

int main() {
    const cmdkit::command arguments{"tool", "a b"};
    std::printf("%s\n", cmdkit::compose(arguments).c_str());
    std::printf("%d commands\n", parses_as_commands("a | b > c"));
    return 0;
}
