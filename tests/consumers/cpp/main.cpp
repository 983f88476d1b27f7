// The C example's work from C++, through the value-typed layer.
#include <cmdkit/cmdkit.hpp>

#include <cstdio>

int main() {
    static_assert(CMDKIT_VERSION_MAJOR >= 1, "the header names its version");
    std::optional<cmdkit::pipeline> parsed = cmdkit::parse("tool \"a b\" | sort > out.txt");
    if (!parsed)
        return 1;
    std::printf("%zu commands\n", parsed->commands.size());
    for (size_t i = 0; i < parsed->commands.size(); ++i) {
        std::printf("cmd[%zu] =", i);
        for (const std::string &argument : parsed->commands[i])
            std::printf(" %s", argument.c_str());
        std::printf(" \n");
    }
    std::printf("input = %s\noutput = %s\n", parsed->input.value_or("<stdin>").c_str(),
                parsed->output.value_or("<stdout>").c_str());
    std::printf("errput = <stderr>\n");
    std::printf("composed: %s\n", cmdkit::compose(*parsed).value_or("(none)").c_str());

    cmdkit::lookup_result found = cmdkit::look_for_cmd("tool x y");
    if (found.well_formed)
        std::printf("app: %s\ncmd: %s\n", found.app_name.value_or("(none)").c_str(),
                    found.new_cmd.value_or("(none)").c_str());
    return 0;
}
