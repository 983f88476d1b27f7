#include "demonstration.h"

#include "cmdline.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Sample 9 repeats sample 8 on purpose: parsing the same line twice must
// give the same result, with nothing carried over from the first parse.
// Sample 11 breaks a rule (output redirection before a pipe).
const char *const sample_lines[] = {
    "foo a b",
    "foo < a > b",
    "filter 1 | filter 2",
    "foo > a < b",
    "foo | a b",
    "foo a | b",
    "foo | a > b",
    "foo < a | b",
    "foo < a | b",
    "foo < a | b b1 b2 | c > d",
    "foo > a | b < c",
    R"("C:\Program Files\WinEdt\WinEdt.exe" -F "[Open('%f');SelLine(%l,8)]")",
};

} // namespace

void run_parser_demonstration() {
    char *input = nullptr;
    char *output = nullptr;
    for (const char *line : sample_lines) {
        std::printf("%s\n", line);
        char ***list = parse_cmdline(line, &input, &output, nullptr);
        if (list != nullptr)
            print_pipeline(list, input, output, nullptr);
        free_pipeline(list);
        // A failed parse may still leave a target behind; it is ours too.
        std::free(input);
        std::free(output);
    }
}
