#include "cmdline_internal.h"
#include "cmdrun.h"
#include "cmdrun_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// -1 is no limit; other negative values are refused.
bool valid_timeout(long timeout_ms) {
    return timeout_ms >= -1;
}

// Start, wait (stopping the pipeline when time runs out), free.
int run_started(cmdkit_process *process, long timeout_ms, long grace_ms, bool pipefail,
                cmdkit_exit *status, start_failure &failure) {
    int failed_index = -1;
    int waited = os_wait(process, timeout_ms, failed_index);
    if (waited == 1) {
        stop_pipeline(process, grace_ms);
        waited = os_wait(process, -1, failed_index) == 0 ? 1 : -1;
    }
    if (waited < 0) {
        fail_wait(failure, failed_index);
        os_kill(process);
    }
    if (status != nullptr)
        *status = reported_exit(process, pipefail);
    const int error = errno;
    os_free_process(process);
    errno = error;
    return waited;
}

bool any_pipe(const cmdkit_start_options &options) {
    return options.input.kind == CMDKIT_STREAM_PIPE || options.output.kind == CMDKIT_STREAM_PIPE ||
           options.errors.kind == CMDKIT_STREAM_PIPE;
}

int run_pipeline(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                 long timeout_ms, cmdkit_exit *status, start_failure &failure) {
    const char *refusal = nullptr;
    if (timeout_ms == 0 || !valid_timeout(timeout_ms))
        refusal = "a time limit that is neither -1 nor positive";
    // Nobody would read or write the pipes: a command could block forever.
    else if ((options.flags & CMDKIT_START_CAPTURE_OUTPUT) != 0)
        refusal = "output capture in a run, which reads nothing";
    else if (any_pipe(options))
        refusal = "a pipe in a run, which reads and writes nothing";
    if (refusal != nullptr) {
        refuse_request(failure, refusal);
        return -1;
    }
    cmdkit_process *process = nullptr;
    if (start_pipeline(pipeline, options, false, &process, failure) != 0)
        return -1;
    const bool pipefail = (options.flags & CMDKIT_START_PIPEFAIL) != 0;
    return run_started(process, timeout_ms, options.grace_ms, pipefail, status, failure);
}

// A read of 0 bytes could not be told from the end of the output.
bool readable(const cmdkit_process *process, const char *buffer, size_t size, long timeout_ms) {
    return process != nullptr && buffer != nullptr && size != 0 && valid_timeout(timeout_ms);
}

ptrdiff_t read_side(cmdkit_process *process, stream_side side, char *buffer, size_t size,
                    long timeout_ms) {
    if (!readable(process, buffer, size, timeout_ms) || !os_has_pipe(process, side)) {
        errno = EINVAL;
        return -1;
    }
    return os_read_pipe(process, side, buffer, size < INT_MAX ? size : INT_MAX, timeout_ms);
}

} // namespace

namespace cmdkit::internal {

void fail_wait(start_failure &failure, int index) {
    const int error = errno;
    const char *pieces[] = {"Waiting for the pipeline failed: ", std::strerror(error), "."};
    fail(failure, CMDKIT_FAILED_SYSTEM, index, error, static_cast<unsigned long>(error), pieces, 3);
}

// The grace ends when every command has ended, or when its time has passed;
// then whatever is left goes, the rest of the group too, and the stop is
// over once the commands have ended, so that each status is their last.
int stop_pipeline(cmdkit_process *process, long grace_ms) {
    int ignored = -1;
    if (grace_ms > 0 && os_terminate(process))
        os_wait(process, grace_ms, ignored);
    const bool killed = os_kill(process);
    os_wait(process, -1, ignored);
    return killed ? 1 : 0;
}

// The parse of a run or capture: its refusal is that call's one message,
// which the held traces kept.  The report's copy goes without the line
// feed a parser's line ends with.
bool parse_for_start(const char *line, cmdkit_pipeline &pipeline, const held_traces &held,
                     start_failure &failure) {
    if (cmdkit_parse_pipeline(line, &pipeline) == 0)
        return true;
    const char *text = held.last();
    size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n')
        --length;
    fail_with_text(failure, CMDKIT_FAILED_PARSE, -1, EINVAL, EINVAL, text, length);
    return false;
}

} // namespace cmdkit::internal

extern "C" int cmdkit_wait(cmdkit_process *process, long timeout_ms) {
    if (process == nullptr || !valid_timeout(timeout_ms)) {
        errno = EINVAL;
        return -1;
    }
    int failed_index = -1;
    return os_wait(process, timeout_ms, failed_index);
}

extern "C" ptrdiff_t cmdkit_read_output(cmdkit_process *process, char *buffer, size_t size,
                                        long timeout_ms) {
    return read_side(process, output_side, buffer, size, timeout_ms);
}

extern "C" ptrdiff_t cmdkit_read_errors(cmdkit_process *process, char *buffer, size_t size,
                                        long timeout_ms) {
    return read_side(process, errors_side, buffer, size, timeout_ms);
}

// One wait on both pipes; a pipe that has ended is left out, and when both
// have, that is the end.
extern "C" ptrdiff_t cmdkit_read_ready(cmdkit_process *process, char *buffer, size_t size,
                                       long timeout_ms, int *from) {
    if (!readable(process, buffer, size, timeout_ms) || from == nullptr ||
        (!os_has_pipe(process, output_side) && !os_has_pipe(process, errors_side))) {
        errno = EINVAL;
        return -1;
    }
    const stream_side sides[] = {output_side, errors_side};
    for (;;) {
        bool open = false;
        for (stream_side side : sides)
            open = open || (os_has_pipe(process, side) && !os_pipe_ended(process, side));
        if (!open) {
            *from = os_has_pipe(process, output_side) ? 1 : 2;
            return 0;
        }
        const int ready = os_wait_pipes(process, false, timeout_ms);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        // On a tie the side read last yields, so neither waits behind more
        // than one read of the other.
        stream_side &last = os_last_ready(process);
        const bool both = ready == ((1 << output_side) | (1 << errors_side));
        const stream_side side = both ? (last == output_side ? errors_side : output_side)
                                 : (ready & (1 << output_side)) != 0 ? output_side
                                                                     : errors_side;
        const ptrdiff_t count =
            os_read_pipe(process, side, buffer, size < INT_MAX ? size : INT_MAX, 0);
        if (count > 0 || (count < 0 && errno != ETIMEDOUT)) {
            last = side;
            *from = side;
            return count;
        }
    }
}

extern "C" ptrdiff_t cmdkit_write_input(cmdkit_process *process, const char *data, size_t size,
                                        long timeout_ms) {
    if (process == nullptr || data == nullptr || size == 0 || !valid_timeout(timeout_ms) ||
        !os_has_pipe(process, input_side)) {
        errno = EINVAL;
        return -1;
    }
    return os_write_input(process, data, size < INT_MAX ? size : INT_MAX, timeout_ms);
}

extern "C" int cmdkit_close_input(cmdkit_process *process) {
    if (process == nullptr) {
        errno = EINVAL;
        return -1;
    }
    os_close_input(process);
    return 0;
}

extern "C" int cmdkit_exit_status(const cmdkit_process *process, int index, cmdkit_exit *exit) {
    int count = 0;
    if (process == nullptr || exit == nullptr || index < 0 ||
        index >= (os_states(process, count), count)) {
        errno = EINVAL;
        return -1;
    }
    *exit = os_states(process, count)[index].exit;
    return 0;
}

extern "C" int cmdkit_contained(const cmdkit_process *process) {
    return process != nullptr && os_contained(process) ? 1 : 0;
}

extern "C" int cmdkit_kill(cmdkit_process *process) {
    if (process == nullptr) {
        errno = EINVAL;
        return -1;
    }
    os_kill(process);
    return 0;
}

extern "C" int cmdkit_stop(cmdkit_process *process, long grace_ms) {
    if (process == nullptr || grace_ms < 0) {
        errno = EINVAL;
        return -1;
    }
    return stop_pipeline(process, grace_ms);
}

extern "C" void cmdkit_free_process(cmdkit_process *process) {
    if (process != nullptr)
        os_free_process(process);
}

extern "C" int cmdkit_run_pipeline(const cmdkit_pipeline *pipeline,
                                   const cmdkit_start_options *options, long timeout_ms,
                                   cmdkit_exit *status, cmdkit_failure *failure) {
    if (status != nullptr)
        *status = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &, start_failure &outcome) {
            return run_pipeline(pipeline, settled, timeout_ms, status, outcome);
        });
}

extern "C" int cmdkit_run(const char *line, const cmdkit_start_options *options, long timeout_ms,
                          cmdkit_exit *status, cmdkit_failure *failure) {
    if (status != nullptr)
        *status = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &held, start_failure &outcome) {
            cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
            if (!parse_for_start(line, pipeline, held, outcome))
                return -1;
            const int result = run_pipeline(&pipeline, settled, timeout_ms, status, outcome);
            const int error = errno;
            cmdkit_clear_pipeline(&pipeline);
            errno = error;
            return result;
        });
}

extern "C" int cmdkit_run_argv(const char *const *argv, const cmdkit_start_options *options,
                               long timeout_ms, cmdkit_exit *status, cmdkit_failure *failure) {
    if (status != nullptr)
        *status = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &, start_failure &outcome) {
            char **list[2];
            cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
            if (!one_command_pipeline(argv, list, pipeline, outcome))
                return -1;
            return run_pipeline(&pipeline, settled, timeout_ms, status, outcome);
        });
}
