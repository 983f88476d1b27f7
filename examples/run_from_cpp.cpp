#include <cmdkit/cmdkit.hpp>

#include <chrono>
#include <iostream>

int main() {
    // One program and its arguments, from data: never turned into a line.
    std::optional<cmdkit_exit> sorted =
        cmdkit::run(cmdkit::command{"sort", "-o", "sorted.txt", "names.txt"});
    // A pipeline from data: the type is written, since a braced list would
    // fit a line, a command and a pipeline alike.
    std::optional<cmdkit_exit> unique = cmdkit::run(cmdkit::start_spec{{{"gen"}, {"sort", "-u"}}});
    // A line as typed, with a time limit, and its output as a string.
    std::optional<cmdkit::captured> counted =
        cmdkit::capture_line("upper < lines.txt | count", {}, std::chrono::seconds(10));
    if (counted)
        std::cout << counted->output;
    return sorted && unique && counted && counted->status.code == 0 ? 0 : 1;
}
