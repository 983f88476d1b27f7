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

cmdkit_exit last_exit(const cmdkit_process *process, bool pipefail) {
    int count = 0;
    const command_state *states = os_states(process, count);
    if (pipefail) {
        for (int i = count - 1; i >= 0; --i) {
            const cmdkit_exit &exit = states[i].exit;
            if (exit.state != CMDKIT_EXIT_EXITED || exit.code != 0)
                return exit;
        }
    }
    return states[count - 1].exit;
}

void fail_wait(start_failure &failure, int index) {
    const int error = errno;
    const char *pieces[] = {"Waiting for the pipeline failed: ", std::strerror(error), "."};
    fail(failure, CMDKIT_FAILED_SYSTEM, index, error, static_cast<unsigned long>(error), pieces, 3);
}

// Start, wait (killing the pipeline when time runs out), free.
int run_started(cmdkit_process *process, long timeout_ms, bool pipefail, cmdkit_exit *status,
                start_failure &failure) {
    int failed_index = -1;
    int waited = os_wait(process, timeout_ms, failed_index);
    if (waited == 1) {
        os_kill(process);
        waited = os_wait(process, -1, failed_index) == 0 ? 1 : -1;
    }
    if (waited < 0) {
        fail_wait(failure, failed_index);
        os_kill(process);
    }
    if (status != nullptr)
        *status = last_exit(process, pipefail);
    const int error = errno;
    os_free_process(process);
    errno = error;
    return waited;
}

int run_pipeline(const cmdkit_pipeline *pipeline, const cmdkit_start_options *options,
                 long timeout_ms, cmdkit_exit *status, start_failure &failure) {
    if (status != nullptr)
        *status = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
    if (timeout_ms == 0 || !valid_timeout(timeout_ms)) {
        const char *pieces[] = {"Refused: a time limit that is neither -1 nor positive."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 1);
        return -1;
    }
    // Nobody would read the output: the last command could block forever.
    if (options->size >= sizeof *options && (options->flags & CMDKIT_START_CAPTURE_OUTPUT) != 0) {
        const char *pieces[] = {"Refused: output capture in a run, which reads nothing."};
        fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 1);
        return -1;
    }
    cmdkit_process *process = nullptr;
    if (start_pipeline(pipeline, options, &process, failure) != 0)
        return -1;
    const bool pipefail = (options->flags & CMDKIT_START_PIPEFAIL) != 0;
    return run_started(process, timeout_ms, pipefail, status, failure);
}

// Runs `body` with a failure of this version and copies it out; a report
// of a size this version does not know is refused.
template <typename Body> int reporting(cmdkit_failure *report, Body body) {
    start_failure outcome;
    if (!report_failure(report, outcome)) {
        const char *pieces[] = {"Refused: a failure report this version does not know."};
        fail(outcome, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 1);
        return -1;
    }
    const int result = body(outcome);
    const int error = errno;
    report_failure(report, outcome);
    errno = error;
    return result;
}

} // namespace

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
    // A count of 0 means the end of output: a read of 0 bytes could not be
    // told from it.
    if (process == nullptr || buffer == nullptr || size == 0 || !valid_timeout(timeout_ms) ||
        !os_captures(process)) {
        errno = EINVAL;
        return -1;
    }
    return os_read_output(process, buffer, size < INT_MAX ? size : INT_MAX, timeout_ms);
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

extern "C" void cmdkit_free_process(cmdkit_process *process) {
    if (process != nullptr)
        os_free_process(process);
}

extern "C" int cmdkit_run_pipeline(const cmdkit_pipeline *pipeline,
                                   const cmdkit_start_options *options, long timeout_ms,
                                   cmdkit_exit *status, cmdkit_failure *failure) {
    const cmdkit_start_options defaults = CMDKIT_START_OPTIONS_INIT;
    const cmdkit_start_options *given = options != nullptr ? options : &defaults;
    return reporting(failure, [&](start_failure &outcome) {
        return run_pipeline(pipeline, given, timeout_ms, status, outcome);
    });
}

extern "C" int cmdkit_run(const char *line, const cmdkit_start_options *options, long timeout_ms,
                          cmdkit_exit *status, cmdkit_failure *failure) {
    const cmdkit_start_options defaults = CMDKIT_START_OPTIONS_INIT;
    const cmdkit_start_options *given = options != nullptr ? options : &defaults;
    return reporting(failure, [&](start_failure &outcome) {
        if (status != nullptr)
            *status = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
        cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
        if (cmdkit_parse_pipeline(line, &pipeline) != 0) {
            // The parser's own message was the last one traced.
            outcome = start_failure{CMDKIT_FAILED_PARSE, -1, EINVAL, EINVAL};
            errno = EINVAL;
            return -1;
        }
        const int result = run_pipeline(&pipeline, given, timeout_ms, status, outcome);
        const int error = errno;
        cmdkit_clear_pipeline(&pipeline);
        errno = error;
        return result;
    });
}
