// cmdkit_capture_pipeline: input from memory, output and errors back, one
// deadline and a bound on what is kept.  The three pipes move together in
// one wait, so no size on any side can block the pipeline.
#include "capture_job.h"
#include "cmdrun.h"
#include "cmdrun_internal.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace cmdkit::internal;

namespace cmdkit::internal {

// Milliseconds left until `when`, 0 once it has passed.
long left_until(int64_t when) {
    return static_cast<long>(std::clamp<int64_t>(when - os_now_ms(), 0, LONG_MAX));
}

long time_left(const capture_job &job) {
    if (job.stopping)
        return left_until(job.stop_deadline);
    return job.has_deadline ? left_until(job.deadline) : -1;
}

// Room for `more` bytes and a NUL; with a bound the text never grows past
// what the bound can keep.
char *room_for(collected &text, size_t more, size_t bound) {
    const size_t needed = text.length + more + 1;
    if (needed > text.capacity) {
        size_t capacity =
            std::max(needed, text.capacity > SIZE_MAX / 2 ? SIZE_MAX : text.capacity * 2);
        if (bound != 0)
            capacity = std::max(needed, std::min(capacity, bound + 2));
        text.data = static_cast<char *>(checked_realloc(text.data, capacity));
        text.capacity = capacity;
    }
    return text.data + text.length;
}

void end_input(capture_job &job) {
    os_close_input(job.process);
    job.input_left = 0;
}

void begin_stop(capture_job &job, bool patient) {
    end_input(job);
    const bool asked = job.grace_ms > 0 && (os_terminate(job.process) || patient);
    if (!asked)
        os_kill(job.process);
    job.stopping = true;
    job.stop_deadline = later_by(os_now_ms(), asked ? job.grace_ms : 0);
}

// A command that stops reading ends the input; that is no failure.
void write_step(capture_job &job) {
    const size_t size = std::min<size_t>(job.input_left, INT_MAX);
    const ptrdiff_t written = os_write_input(job.process, job.input, size, 0);
    if (written > 0) {
        job.input += written;
        job.input_left -= static_cast<size_t>(written);
    }
    if (job.input_left == 0 || (written < 0 && errno != ETIMEDOUT))
        end_input(job);
}

// Reads what one pipe has: while the bound allows, into its text, asking
// for at most one byte more than may be kept; past it, into nothing.
// `ready`: a wait has just said the pipe has data or its end.
read_outcome read_step(capture_job &job, stream_side side, bool ready) {
    const bool bounded = job.max_output != 0;
    const size_t allowance = bounded ? job.max_output - job.kept : SIZE_MAX;
    const size_t size = job.read_sizes[side];
    char *into = job.discarded;
    size_t want = read_size;
    if (allowance != 0) {
        want = std::min(size, allowance == SIZE_MAX ? allowance : allowance + 1);
        into = room_for(job.texts[side], want, job.max_output);
    }
    const ptrdiff_t count = ready ? os_read_ready_pipe(job.process, side, into, want)
                                  : os_read_pipe(job.process, side, into, want, 0);
    if (count <= 0)
        return count == 0           ? read_outcome::ended
               : errno == ETIMEDOUT ? read_outcome::nothing_now
                                    : read_outcome::failed;
    if (static_cast<size_t>(count) == size && size < large_read_size) {
        if (size == read_size)
            os_enlarge_pipe(job.process, side);
        job.read_sizes[side] = size == read_size ? large_read_size : read_size;
    }
    const size_t keep = std::min(static_cast<size_t>(count), allowance);
    job.truncated = job.truncated || static_cast<size_t>(count) > keep;
    job.kept += keep;
    if (into != job.discarded)
        job.texts[side].length += keep;
    return read_outcome::data;
}

bool reading(const capture_job &job, stream_side side) {
    return os_has_pipe(job.process, side) && !os_pipe_ended(job.process, side);
}

bool pumping(const capture_job &job) {
    return job.input_left > 0 || reading(job, output_side) || reading(job, errors_side);
}

bool fail_reading(start_failure &failure) {
    const int error = errno;
    const char *pieces[] = {"Reading the pipeline's output failed: ", std::strerror(error), "."};
    fail(failure, CMDKIT_FAILED_SYSTEM, -1, error, static_cast<unsigned long>(error), pieces, 3);
    return false;
}

// Moves input, output and errors until both read pipes have ended, or,
// once stopping, until the stop is over.
bool pump(capture_job &job, start_failure &failure) {
    while (pumping(job)) {
        if (job.truncated && !job.stopping)
            begin_stop(job);
        const long left = time_left(job);
        if (left == 0) {
            if (job.stopping)
                return true;
            job.timed_out = true;
            begin_stop(job);
            continue;
        }
        const int ready = os_wait_pipes(job.process, job.input_left > 0, left);
        if (ready < 0)
            return fail_reading(failure);
        if ((ready & (1 << input_side)) != 0)
            write_step(job);
        for (stream_side side : {output_side, errors_side}) {
            if ((ready & (1 << side)) != 0 && read_step(job, side, true) == read_outcome::failed)
                return fail_reading(failure);
        }
    }
    return true;
}

// What the stopped pipeline left in the pipes, without waiting: a process
// that left the group or the job may hold them open for ever.
bool drain(capture_job &job, start_failure &failure) {
    for (stream_side side : {output_side, errors_side}) {
        read_outcome outcome = read_outcome::data;
        while (reading(job, side) && outcome == read_outcome::data)
            outcome = read_step(job, side, false);
        if (outcome == read_outcome::failed)
            return fail_reading(failure);
    }
    return true;
}

// Waits for the commands within the deadline, or once stopping within the
// grace; a stop ends by killing what is left, the rest of the group too.
bool wait_commands(capture_job &job, start_failure &failure) {
    int failed_index = -1;
    int waited = os_wait(job.process, time_left(job), failed_index);
    if (waited == 1 && !job.stopping) {
        job.timed_out = true;
        begin_stop(job);
        waited = os_wait(job.process, time_left(job), failed_index);
    }
    if (job.stopping)
        os_kill(job.process);
    if (waited == 1)
        waited = os_wait(job.process, -1, failed_index);
    if (waited == 0)
        return true;
    fail_wait(failure, failed_index);
    return false;
}

char *finished_text(collected &text) {
    if (text.data == nullptr)
        text.data = static_cast<char *>(checked_malloc(1));
    text.data[text.length] = '\0';
    return text.data;
}

void empty_result(cmdkit_captured &result) {
    const size_t size = result.size;
    result = cmdkit_captured{};
    result.size = size;
    result.status = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
}

capture_job *new_capture_job(cmdkit_process *process, const capture_request &request) {
    auto *job = static_cast<capture_job *>(checked_malloc(sizeof(capture_job)));
    new (job) capture_job();
    job->process = process;
    job->input = request.input;
    job->input_left = request.input != nullptr ? request.input_length : 0;
    job->max_output = request.max_output;
    job->grace_ms = request.grace_ms;
    job->has_deadline = request.timeout_ms >= 0;
    job->deadline = later_by(os_now_ms(), job->has_deadline ? request.timeout_ms : 0);
    if (request.input != nullptr && job->input_left == 0)
        end_input(*job);
    return job;
}

void free_capture_job(capture_job *job) {
    std::free(job->texts[output_side].data);
    std::free(job->texts[errors_side].data);
    job->~capture_job();
    std::free(job);
}

void give_result(capture_job &job, bool pipefail, cmdkit_captured &result) {
    result.output = finished_text(job.texts[output_side]);
    result.output_length = job.texts[output_side].length;
    job.texts[output_side] = collected{};
    if (os_has_pipe(job.process, errors_side)) {
        result.errors = finished_text(job.texts[errors_side]);
        result.errors_length = job.texts[errors_side].length;
        job.texts[errors_side] = collected{};
    }
    result.status = reported_exit(job.process, pipefail);
    result.timed_out = job.timed_out ? 1 : 0;
    result.truncated = job.truncated ? 1 : 0;
}

int capture_started(cmdkit_process *process, const capture_request &request, bool pipefail,
                    cmdkit_captured &result, start_failure &failure) {
    capture_job *job = new_capture_job(process, request);
    bool ran = pump(*job, failure);
    // The stop is over with the pipes still open: what is left is killed.
    if (ran && pumping(*job)) {
        os_kill(process);
        ran = drain(*job, failure);
    }
    if (ran)
        ran = wait_commands(*job, failure);
    if (!ran) {
        const int error = errno;
        os_kill(process);
        empty_result(result);
        errno = error;
    } else {
        give_result(*job, pipefail, result);
    }
    const bool stopped = job->timed_out || job->truncated;
    free_capture_job(job);
    const int error = errno;
    os_free_process(process);
    errno = error;
    return !ran ? -1 : stopped ? 1 : 0;
}

// What a capture refuses (null: nothing), before anything is started.
const char *capture_refusal(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                            const capture_request &request) {
    const unsigned flags = options.flags;
    if (request.timeout_ms == 0 || request.timeout_ms < -1)
        return "a time limit that is neither -1 nor positive";
    if (pipeline != nullptr && pipeline->output != nullptr)
        return "an output file in a capture, which keeps the output";
    if (options.output.kind != CMDKIT_STREAM_DEFAULT || (flags & CMDKIT_START_CAPTURE_OUTPUT) != 0)
        return "an output stream or flag in a capture, which keeps the output";
    if (options.input.kind == CMDKIT_STREAM_PIPE)
        return "an input pipe in a capture, which writes the input itself";
    if (request.input == nullptr && request.input_length != 0)
        return "an input length without input";
    if (request.input != nullptr && pipeline != nullptr && pipeline->input != nullptr)
        return "input from memory and an input file";
    if (request.input != nullptr &&
        ((flags & CMDKIT_START_NULL_INPUT) != 0 || options.input.kind != CMDKIT_STREAM_DEFAULT))
        return "input from memory and an input stream or flag";
    return nullptr;
}

// The output is a pipe, the errors one unless sent elsewhere, the input
// the bytes given, or else the null device unless something else is said.
cmdkit_start_options capture_options(const cmdkit_pipeline *pipeline, cmdkit_start_options options,
                                     const char *input) {
    options.output.kind = CMDKIT_STREAM_PIPE;
    if (options.errors.kind == CMDKIT_STREAM_DEFAULT &&
        (options.flags & CMDKIT_START_ERRORS_TO_OUTPUT) == 0)
        options.errors.kind = CMDKIT_STREAM_PIPE;
    if (input != nullptr)
        options.input.kind = CMDKIT_STREAM_PIPE;
    else if (options.input.kind == CMDKIT_STREAM_DEFAULT &&
             (options.flags & CMDKIT_START_NULL_INPUT) == 0 &&
             (pipeline == nullptr || pipeline->input == nullptr))
        options.input.kind = CMDKIT_STREAM_NULL;
    return options;
}

int capture_pipeline(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                     const capture_request &request, cmdkit_captured &result,
                     start_failure &failure) {
    if (const char *why = capture_refusal(pipeline, options, request)) {
        refuse_request(failure, why);
        return -1;
    }
    const cmdkit_start_options settled = capture_options(pipeline, options, request.input);
    cmdkit_process *process = nullptr;
    if (start_pipeline(pipeline, settled, true, &process, failure) != 0)
        return -1;
    const bool pipefail = (options.flags & CMDKIT_START_PIPEFAIL) != 0;
    capture_request with_grace = request;
    with_grace.grace_ms = options.grace_ms;
    return capture_started(process, with_grace, pipefail, result, failure);
}

// Written by cmdkit, as the failure report is: any size from the first
// version up is taken, and only this version's members are written.
bool result_known(const cmdkit_captured *result) {
    return result != nullptr && result->size >= sizeof *result;
}

bool result_ready(cmdkit_captured *result, start_failure &failure) {
    if (!result_known(result))
        return refuse_request(failure, "a capture result this version does not know");
    empty_result(*result);
    return true;
}

} // namespace cmdkit::internal

// The result is emptied first, so that nothing is to be freed whatever
// goes wrong.
extern "C" int cmdkit_capture_pipeline(const cmdkit_pipeline *pipeline,
                                       const cmdkit_start_options *options, const char *input,
                                       size_t input_length, size_t max_output, long timeout_ms,
                                       cmdkit_captured *result, cmdkit_failure *failure) {
    const capture_request request{input, input_length, max_output, timeout_ms, 0};
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &, start_failure &outcome) {
            if (!result_ready(result, outcome))
                return -1;
            return capture_pipeline(pipeline, settled, request, *result, outcome);
        });
}

extern "C" int cmdkit_capture(const char *line, const cmdkit_start_options *options,
                              const char *input, size_t input_length, size_t max_output,
                              long timeout_ms, cmdkit_captured *result, cmdkit_failure *failure) {
    const capture_request request{input, input_length, max_output, timeout_ms, 0};
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &held, start_failure &outcome) {
            if (!result_ready(result, outcome))
                return -1;
            cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
            if (!parse_for_start(line, pipeline, held, outcome))
                return -1;
            const int code = capture_pipeline(&pipeline, settled, request, *result, outcome);
            const int error = errno;
            cmdkit_clear_pipeline(&pipeline);
            errno = error;
            return code;
        });
}

extern "C" int cmdkit_capture_argv(const char *const *argv, const cmdkit_start_options *options,
                                   const char *input, size_t input_length, size_t max_output,
                                   long timeout_ms, cmdkit_captured *result,
                                   cmdkit_failure *failure) {
    const capture_request request{input, input_length, max_output, timeout_ms, 0};
    return reporting(
        options, failure,
        [&](const cmdkit_start_options &settled, const held_traces &, start_failure &outcome) {
            if (!result_ready(result, outcome))
                return -1;
            char **list[2];
            cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
            if (!one_command_pipeline(argv, list, pipeline, outcome))
                return -1;
            return capture_pipeline(&pipeline, settled, request, *result, outcome);
        });
}

extern "C" void cmdkit_clear_captured(cmdkit_captured *result) {
    if (!result_known(result))
        return;
    std::free(result->output);
    std::free(result->errors);
    empty_result(*result);
}
