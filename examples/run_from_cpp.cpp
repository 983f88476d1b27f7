#include <cmdkit/cmdkit.hpp>

#include <chrono>
#include <iostream>

int main() {
    // A pipeline from data: the type is written, since a braced list would
    // fit a line, a command and a pipeline alike.
    std::optional<cmdkit_exit> appended =
        cmdkit::run(cmdkit::start_spec{{{"upper"}, {"count"}}, "lines.txt", "counts.txt", true});
    // A line as typed, with a time limit, and its output as a string.
    std::optional<cmdkit::captured> counted =
        cmdkit::capture_line("upper < lines.txt | count", {}, std::chrono::seconds(10));
    if (counted)
        std::cout << counted->output;
    return appended && counted && counted->status.code == 0 ? 0 : 1;
}
