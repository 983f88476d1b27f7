// One capture's state: what a pipeline started for capture wrote so far,
// its deadline and its stop.  cmdkit_capture drives one to its end in a
// wait of its own; cmdkit_run_all drives many in one wait (run_all.cpp).
#ifndef CMDKIT_CAPTURE_JOB_H
#define CMDKIT_CAPTURE_JOB_H

#include "cmdrun_internal.h"

#include <stddef.h>
#include <stdint.h>

namespace cmdkit::internal {

// What one read asks for, growing while reads come back full: a few
// bytes need no large block, and a pipe holds 64 KiB, which a program that
// fills it gets enlarged, once, to be read in pieces of 1 MiB.
constexpr size_t first_read_size = 4096;
constexpr size_t read_size = 65536;
constexpr size_t large_read_size = 1 << 20;

struct collected {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

// The first `max_output` bytes are kept (0: all); one more sets truncated.
struct capture_job {
    cmdkit_process *process = nullptr;
    const char *input = nullptr;
    size_t input_left = 0;
    size_t max_output = 0;
    long grace_ms = 0;
    size_t kept = 0;
    bool truncated = false;
    bool timed_out = false;
    bool stopping = false;
    bool has_deadline = false;
    int64_t deadline = 0; // on os_now_ms's clock
    int64_t stop_deadline = 0;
    collected texts[3]; // by side: output, errors
    size_t read_sizes[3] = {first_read_size, first_read_size, first_read_size};
    char discarded[read_size];
};

// What one read found.
enum class read_outcome { data, ended, nothing_now, failed };

struct capture_request {
    const char *input;
    size_t input_length;
    size_t max_output;
    long timeout_ms;
    long grace_ms;
};

// A job for a started pipeline, its deadline counted from now; and its
// release, which frees what no result took (never the process).
capture_job *new_capture_job(cmdkit_process *process, const capture_request &request);
void free_capture_job(capture_job *job);

// Milliseconds left until the deadline, or the grace's end once stopping;
// -1 for none.
long time_left(const capture_job &job);

// Asks the pipeline to end, as cmdkit_stop does, but without waiting: what
// it writes during the grace is still read.  `patient`: where the system
// has no request to send (Windows), the grace is still waited out, for
// commands that got one of their own (a console's Ctrl+C), before the kill.
void begin_stop(capture_job &job, bool patient = false);

// Reads what one pipe has into its text (past the bound, into nothing);
// `ready`: a wait has just said it has data or its end.
read_outcome read_step(capture_job &job, stream_side side, bool ready);
bool reading(const capture_job &job, stream_side side);
bool fail_reading(start_failure &failure);
// What the stopped pipeline left in the pipes, without waiting.
bool drain(capture_job &job, start_failure &failure);

// The texts, the statuses and the flags into `result`, which takes the texts.
void give_result(capture_job &job, bool pipefail, cmdkit_captured &result);
void empty_result(cmdkit_captured &result);

// What a capture refuses (null: nothing), and the options it starts with.
const char *capture_refusal(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                            const capture_request &request);
cmdkit_start_options capture_options(const cmdkit_pipeline *pipeline, cmdkit_start_options options,
                                     const char *input);

} // namespace cmdkit::internal

#endif
