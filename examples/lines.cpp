// Reads a program's output line by line as it comes, and its errors apart.
#include <cmdkit/cmdkit.hpp>

#include <iostream>
#include <thread>

int main() {
    cmdkit::start_options options;
    options.output_stream.kind = CMDKIT_STREAM_PIPE;
    options.errors_stream.kind = CMDKIT_STREAM_PIPE;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    std::optional<cmdkit::process> upper =
        cmdkit::start(cmdkit::start_spec{{{"upper"}}, "lines.txt"}, options, &failure);
    if (!upper) {
        std::cerr << "not run: " << failure.message << '\n';
        return 1;
    }
    // The errors are read beside the output, so that neither pipe fills up.
    std::optional<std::string> errors;
    std::thread collect([&] { errors = upper->read_all_errors(); });
    std::string line;
    for (int number = 1; upper->read_output_line(line); ++number)
        std::cout << number << ": " << line << '\n';
    collect.join();
    upper->wait();
    std::cout << errors.value_or("").size() << " bytes of errors; "
              << cmdkit::to_string(*upper->status(0)) << '\n';
    return 0;
}
