#ifndef CMDKIT_TESTS_PROCESS_H
#define CMDKIT_TESTS_PROCESS_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct process_result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Environment changes for the child alone: a value sets, nullopt removes.
using environment_changes = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs `program` without arguments in `directory` (empty: ours), feeding it
// `input` on standard input and collecting both output streams.  The
// streams go through files, so a child writing a lot cannot stall.
process_result run_program(const std::string &program, const std::string &input,
                           const environment_changes &changes, const std::string &directory = "");

// The path of a program built next to the running test binary.
std::string sibling_program(const char *argv0, const std::string &name);

} // namespace testing_support

#endif
