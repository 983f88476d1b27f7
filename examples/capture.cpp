// The same from C++: the result is a value, with nothing to free.
#include <cmdkit/cmdkit.hpp>

#include <chrono>
#include <iostream>

int main() {
    cmdkit::start_options options;
    options.input = std::string(1 << 20, '\0');
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    std::optional<cmdkit::captured> result =
        cmdkit::capture_argv({"upper"}, options, std::chrono::seconds(5), &failure);
    if (!result) {
        std::cerr << "not run: " << failure.message << '\n';
        return 1;
    }
    std::cout << result->output.size() << " bytes of output, " << result->errors.size()
              << " of errors; " << cmdkit::to_string(result->status)
              << (result->timed_out ? ", stopped at the limit" : "") << '\n';
    return 0;
}
