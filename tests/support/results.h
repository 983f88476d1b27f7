#ifndef CMDKIT_TESTS_RESULTS_H
#define CMDKIT_TESTS_RESULTS_H

#include <cerrno>
#include <optional>
#include <string>

namespace testing_support {

// Whether `call` fails as the library says it failed: -1, with `error` in
// errno, which is cleared first so that no earlier failure passes for it.
template <typename Call> bool fails_with(int error, Call call) {
    errno = 0;
    return call() == -1 && errno == error;
}

// The value of a string the library returned, which is then freed; nullopt
// for a null result.
std::optional<std::string> take_string(char *text);

struct lookup_outcome {
    int result;
    std::optional<std::string> app_name;
    std::optional<std::string> new_cmd;
    std::string trace; // standard error as written
};

// Runs look_for_cmd_ex on `line`, capturing its trace; the result variables
// start out as garbage so that a lookup that forgets to set them shows.
lookup_outcome look_up(const std::string &line, const void *options = nullptr);

// The traces of one scope, through a sink that checks each call is one whole
// line, or one message (a capital, a full stop, no line feed).
struct captured_trace {
    captured_trace();
    ~captured_trace(); // the default sink again
    std::string text;
};

} // namespace testing_support

#endif
