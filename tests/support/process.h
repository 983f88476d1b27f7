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

// Standard streams that fail in the child, on every host: input opened for
// writing only, so that reading it fails, and output opened for reading
// only, so that writing it fails.  A path replaces a stream by a file or
// device of the host's own (a directory as input, /dev/full as output).
struct child_streams {
    bool unreadable_input = false;
    bool unwritable_output = false;
    bool unwritable_errors = false;
    std::string input_path;
    std::string output_path;
    std::string errors_path;
    bool errors_to_output = false; // both streams into one file, as a terminal shows them
};

// Runs `program` without arguments in `directory` (empty: ours), feeding it
// `input` on standard input and collecting both output streams.  The
// streams go through files, so a child writing a lot cannot stall.
process_result run_program(const std::string &program, const std::string &input,
                           const environment_changes &changes, const std::string &directory = "",
                           const child_streams &streams = {});

#ifndef _WIN32
// A child that we talk to through pipes while it runs, the way a program
// driving cmdkit-demo line by line does; its input is non-blocking.
class coprocess {
  public:
    coprocess(const std::string &program, const environment_changes &changes,
              const std::string &directory);
    ~coprocess();
    coprocess(const coprocess &) = delete;
    coprocess &operator=(const coprocess &) = delete;

    void write_input(const std::string &text);
    // Reads standard output (or, with `from_stderr`, standard error) until
    // what was read ends with `ending`; gives up after `seconds` without
    // new data and returns what arrived by then.
    std::string read_until(const std::string &ending, bool from_stderr, int seconds = 10);
    // Close our end of its output (its writes fail: it ignores SIGPIPE) or input.
    void close_output();
    void close_input();
    // Closes standard input and returns the exit status.
    int finish();

  private:
    int pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
};
#endif

// The path of a program built next to the running test binary.
std::string sibling_program(const char *argv0, const std::string &name);

} // namespace testing_support

#endif
