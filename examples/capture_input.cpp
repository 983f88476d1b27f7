#include <cmdkit/cmdkit.hpp>

#include <chrono>
#include <iostream>

int main() {
    cmdkit::start_options options;
    options.input = "hello, world\n";
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    std::optional<cmdkit::captured> result =
        cmdkit::capture(cmdkit::command{"upper"}, options, std::chrono::seconds(5), &failure);
    if (!result) {
        std::cerr << "not run: " << failure.message << '\n';
        return 1;
    }
    std::cout << result->output << (result->timed_out ? "stopped at the limit" : "ran")
              << ", exit code " << result->status.code << '\n';
    return 0;
}
