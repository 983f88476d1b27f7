// cmdkit-run's request, read from its arguments, and the statuses and
// messages both of its modes (one line, many lines) end with.
#ifndef CMDKIT_RUN_REQUEST_H
#define CMDKIT_RUN_REQUEST_H

#include "cmdrun.h"

#include <string>
#include <vector>

namespace runner {

// Statuses of cmdkit-run itself, as timeout(1) and the shells use them.
constexpr int usage_status = 2;
constexpr int timed_out_status = 124;
constexpr int setup_status = 125;
constexpr int not_started_status = 126;
constexpr int not_found_status = 127;

// The grace a stopping signal gives when -k gives none.
constexpr long default_signal_grace_ms = 2000;

struct request {
    long timeout_ms = -1;
    long grace_ms = -1; // -1: no -k
    const char *directory = nullptr;
    bool pipefail = false;
    bool verbose = false;
    const char *line = nullptr; // one line; null with -f
    // Many lines (-f): the file ("-": standard input), at most `jobs` at
    // once (0: one per processor), their order kept (-K), the first failure
    // stopping the rest (-e), no status line (-q).
    const char *file = nullptr;
    unsigned jobs = 1;
    bool keep_order = false;
    bool stop_on_failure = false;
    bool quiet = false;
};

// The message with cmdkit-run's name, on standard error (as UTF-16 on a
// Windows console).
void say(const std::string &reason);
// `text` as it is on standard error, through the console on Windows.
void write_errors(const std::string &text);
// Standard output and error as bytes from now on (Windows: binary mode),
// so that the jobs' output passes as it is; say() still ends its lines as
// the system does.
void write_streams_as_bytes();

// 0 to go on, -1 when --help or --version said all, else the status.
int read_arguments(const std::vector<std::string> &args, request &wanted);

// What cmdkit-run ends with for a failed start, and for an exit: its code,
// or on POSIX 128 + N for a signal N, with `raise_signal` set for SIGINT,
// by which cmdkit-run then ends itself so that a calling shell stops too.
int status_of_failure(const cmdkit_failure &failure);
int status_of_exit(const cmdkit_exit &exit, int &raise_signal);

// The caller's environment of either mode's commands.
cmdkit_start_options start_options_of(const request &wanted);

// The two modes; each returns the status to end with (or ends by a signal).
int run_one(const request &wanted);
int run_many(const request &wanted);

} // namespace runner

#endif
