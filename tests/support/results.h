#ifndef CMDKIT_TESTS_RESULTS_H
#define CMDKIT_TESTS_RESULTS_H

#include <optional>
#include <string>

namespace testing_support {

// The value of a string the library returned, which is then freed; nullopt
// for a null result.
std::optional<std::string> take_string(char *text);

struct lookup_outcome {
    int result;
    std::optional<std::string> app_name;
    std::optional<std::string> new_cmd;
    std::string trace; // standard error as written
};

// Runs look_for_cmd on `line`, capturing its trace; the result variables
// start out as garbage so that a lookup that forgets to set them shows.
lookup_outcome look_up(const std::string &line);

} // namespace testing_support

#endif
