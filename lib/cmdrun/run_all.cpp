// cmdkit_run_all: many lines (or pipelines) as jobs, at most so many at
// once, each captured whole as cmdkit_capture captures it, all of them
// moved in one wait that also watches the caller's cancel handle.
#include "capture_job.h"
#include "cmdline_internal.h"
#include "cmdrun.h"
#include "cmdrun_internal.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace cmdkit::internal;

namespace {

constexpr unsigned known_flags = CMDKIT_ALL_STOP_ON_FAILURE | CMDKIT_ALL_KEEP_ORDER;

enum class job_state : unsigned char { waiting, running, finished, reported };

// One job: its capture while it runs, its outcome once it has ended.
struct job {
    job_state state = job_state::waiting;
    cmdkit_process *process = nullptr;
    capture_job *capture = nullptr;
    bool ended = false;          // every command has ended
    bool pipes_done = false;     // what the pipes held after the kill is read
    bool stopped_by_run = false; // the run stopped it: a cancel, or another's failure
    bool unread = false;         // a read of its pipes failed
    int outcome = -1;
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    start_failure failure; // when it did not start or could not be read
};

// The run as a whole.
struct run {
    const char *const *lines = nullptr;
    const cmdkit_pipeline *const *pipelines = nullptr;
    size_t count = 0;
    const cmdkit_run_all_options *options = nullptr;
    cmdkit_start_options start{};
    capture_request request{};
    const held_traces *held = nullptr;
    job *jobs = nullptr;
    unsigned slots = 1;
    size_t next = 0;   // the next job to start
    size_t oldest = 0; // the oldest job not yet reported
    size_t running = 0;
    bool stopping = false; // nothing more starts
    bool all_exited_0 = true;
    cmdkit_poll_item *items = nullptr; // the running jobs' items, by slot
    size_t *slot_jobs = nullptr;
};

bool keeps_order(const run &all) {
    return (all.options->flags & CMDKIT_ALL_KEEP_ORDER) != 0;
}

bool exited_0(const job &one) {
    return one.outcome == 0 && one.result.status.state == CMDKIT_EXIT_EXITED &&
           one.result.status.code == 0;
}

// Records how a job ended; with STOP_ON_FAILURE a failure stops the rest.
void finish(run &all, job &one);

// Every job still running is asked to end with the grace, and nothing more
// starts.  On Windows a cancel waits out the grace for jobs the console's
// Ctrl+C reached; a stop after a failure kills at once there.
void stop_all(run &all, bool cancelled) {
    all.stopping = true;
    for (size_t i = all.oldest; i < all.next; ++i) {
        job &one = all.jobs[i];
        int ignored = -1;
        if (one.state != job_state::running || one.stopped_by_run)
            continue;
        // One that has ended by itself keeps its own outcome.
        one.ended = one.ended || os_wait(one.process, 0, ignored) == 0;
        if (one.ended)
            continue;
        one.stopped_by_run = true;
        if (!one.capture->stopping)
            begin_stop(*one.capture, cancelled);
    }
}

// The job's pipeline: its line parsed, or the caller's; false with the
// failure filled when the line breaks a rule.
bool pipeline_of(run &all, size_t index, cmdkit_pipeline &parsed,
                 const cmdkit_pipeline *&pipeline) {
    if (all.pipelines != nullptr) {
        pipeline = all.pipelines[index];
        return true;
    }
    pipeline = &parsed;
    return parse_for_start(all.lines[index], parsed, *all.held, all.jobs[index].failure);
}

void start_job(run &all, size_t index) {
    job &one = all.jobs[index];
    cmdkit_pipeline parsed = CMDKIT_PIPELINE_INIT;
    const cmdkit_pipeline *pipeline = nullptr;
    bool started = false;
    if (pipeline_of(all, index, parsed, pipeline)) {
        if (const char *why = capture_refusal(pipeline, all.start, all.request))
            refuse_request(one.failure, why);
        else
            started = start_pipeline(pipeline, capture_options(pipeline, all.start, nullptr), true,
                                     &one.process, one.failure) == 0;
    }
    cmdkit_clear_pipeline(&parsed);
    if (!started) {
        one.state = job_state::finished;
        finish(all, one);
        return;
    }
    one.capture = new_capture_job(one.process, all.request);
    one.state = job_state::running;
    ++all.running;
}

bool may_start(const run &all) {
    return !all.stopping && all.next < all.count && all.running < all.slots &&
           (!keeps_order(all) || all.next < all.oldest + all.slots);
}

void start_jobs(run &all) {
    while (may_start(all))
        start_job(all, all.next++);
}

// `done` sees the job, with the traces passing as they would outside the
// run; a non-zero answer cancels the run.
void report(run &all, size_t index) {
    job &one = all.jobs[index];
    one.state = job_state::reported;
    const cmdkit_run_all_options &options = *all.options;
    int answer = 0;
    if (options.done != nullptr) {
        held_traces passing(true);
        cmdkit_failure failure = CMDKIT_FAILURE_INIT;
        const bool started = one.result.output != nullptr;
        if (!started)
            report_failure(&failure, one.failure);
        answer = options.done(options.context, index, one.outcome, started ? &one.result : nullptr,
                              started ? nullptr : &failure);
    }
    cmdkit_clear_captured(&one.result);
    if (answer != 0 && !all.stopping)
        stop_all(all, true);
}

void report_ended(run &all) {
    for (size_t i = all.oldest; i < all.next; ++i) {
        const job_state state = all.jobs[i].state;
        if (state == job_state::finished)
            report(all, i);
        else if (state != job_state::reported && keeps_order(all))
            break;
    }
    while (all.oldest < all.next && all.jobs[all.oldest].state == job_state::reported)
        ++all.oldest;
}

void finish(run &all, job &one) {
    if (one.capture != nullptr) {
        const bool stopped_itself = one.capture->timed_out || one.capture->truncated;
        if (!one.unread) {
            give_result(*one.capture, (all.start.flags & CMDKIT_START_PIPEFAIL) != 0, one.result);
            if (one.stopped_by_run)
                one.result.timed_out = one.result.truncated = 0;
            one.outcome = stopped_itself || one.stopped_by_run ? 1 : 0;
        }
        free_capture_job(one.capture);
        one.capture = nullptr;
        os_free_process(one.process);
        one.process = nullptr;
        --all.running;
    }
    const bool ok = exited_0(one);
    all.all_exited_0 = all.all_exited_0 && ok;
    if (!ok && !one.stopped_by_run && !all.stopping &&
        (all.options->flags & CMDKIT_ALL_STOP_ON_FAILURE) != 0)
        stop_all(all, false);
}

// Reads what the events say is there; a read that fails ends the job with
// outcome -1, as a capture's would.
void take_events(job &one, unsigned events) {
    for (stream_side side : {output_side, errors_side}) {
        const unsigned event = side == output_side ? CMDKIT_EVENT_OUTPUT : CMDKIT_EVENT_ERRORS;
        if ((events & event) != 0 && read_step(*one.capture, side, true) == read_outcome::failed) {
            fail_reading(one.failure);
            one.unread = true;
            os_kill(one.process);
            one.pipes_done = true;
        }
    }
    one.ended = one.ended || (events & CMDKIT_EVENT_ENDED) != 0;
}

// A job at its deadline is stopped; one whose stop is over is killed and
// what its pipes hold taken without waiting; one over its bound stopped.
void keep_time(job &one) {
    capture_job &capture = *one.capture;
    if (capture.truncated && !capture.stopping)
        begin_stop(capture);
    if (time_left(capture) != 0)
        return;
    if (!capture.stopping) {
        capture.timed_out = true;
        begin_stop(capture);
        return;
    }
    os_kill(one.process);
    if (!one.pipes_done && !drain(capture, one.failure))
        one.unread = true;
    one.pipes_done = true;
}

bool job_over(const job &one) {
    const bool pipes = one.pipes_done ||
                       (!reading(*one.capture, output_side) && !reading(*one.capture, errors_side));
    return pipes && one.ended;
}

// The wait lasts until the nearest deadline or grace of a running job.
long nearest_limit(const run &all) {
    long nearest = -1;
    for (size_t i = all.oldest; i < all.next; ++i) {
        const job &one = all.jobs[i];
        if (one.state != job_state::running)
            continue;
        const long left = time_left(*one.capture);
        if (left >= 0 && (nearest < 0 || left < nearest))
            nearest = left;
    }
    return nearest;
}

// One wait over every running job and the cancel handle, then each job
// moved on by what it said.
bool wait_for_jobs(run &all, start_failure &failure) {
    size_t watched = 0;
    for (size_t i = all.oldest; i < all.next; ++i) {
        job &one = all.jobs[i];
        if (one.state != job_state::running)
            continue;
        unsigned interests = one.ended ? 0u : CMDKIT_EVENT_ENDED;
        if (!one.pipes_done) {
            interests |= reading(*one.capture, output_side) ? CMDKIT_EVENT_OUTPUT : 0u;
            interests |= reading(*one.capture, errors_side) ? CMDKIT_EVENT_ERRORS : 0u;
        }
        all.items[watched] = cmdkit_poll_item{one.process, interests, 0};
        all.slot_jobs[watched++] = i;
    }
    const os_handle cancel = all.stopping ? no_handle : all.options->cancel_handle;
    bool cancelled = false;
    if (os_poll(all.items, watched, nearest_limit(all), cancel, &cancelled) < 0) {
        const int error = errno;
        const char *pieces[] = {"Waiting for the jobs failed: ", std::strerror(error), "."};
        fail(failure, CMDKIT_FAILED_SYSTEM, -1, error, static_cast<unsigned long>(error), pieces,
             3);
        return false;
    }
    if (cancelled)
        stop_all(all, true);
    for (size_t k = 0; k < watched; ++k) {
        job &one = all.jobs[all.slot_jobs[k]];
        take_events(one, all.items[k].events);
        keep_time(one);
        if (job_over(one)) {
            one.state = job_state::finished;
            finish(all, one);
        }
    }
    return true;
}

void report_not_started(run &all) {
    for (size_t i = all.next; i < all.count; ++i) {
        job &one = all.jobs[i];
        const char *pieces[] = {"Not started: the run was stopped first."};
        fail(one.failure, CMDKIT_FAILED_NOT_STARTED, -1, ECANCELED, ECANCELED, pieces, 1);
        one.state = job_state::finished;
        all.all_exited_0 = false;
    }
    all.next = all.count;
    report_ended(all);
}

// A run that cannot wait any more stops and frees what still runs; each
// such job is reported with the failure.
void abandon(run &all, const start_failure &failure) {
    for (size_t i = all.oldest; i < all.next; ++i) {
        job &one = all.jobs[i];
        if (one.state != job_state::running)
            continue;
        os_kill(one.process);
        one.unread = true;
        fail_with_text(one.failure, failure.stage, -1, failure.error, failure.system_error,
                       failure.whole.data != nullptr ? failure.whole.data : "",
                       failure.whole.length);
        one.state = job_state::finished;
        finish(all, one);
    }
}

int drive(run &all, start_failure &failure) {
    bool waited = true;
    for (;;) {
        // What ended is reported first, so that a `done` that cancels keeps
        // the next job from starting.
        report_ended(all);
        start_jobs(all);
        report_ended(all);
        if (all.running == 0 && (all.next >= all.count || all.stopping))
            break;
        if (all.running > 0 && !(waited = wait_for_jobs(all, failure))) {
            all.stopping = true;
            abandon(all, failure);
        }
    }
    report_not_started(all);
    if (!waited)
        return -1;
    return all.all_exited_0 ? 0 : 1;
}

const char *refusal(const cmdkit_run_all_options *options, size_t count, bool listed,
                    const void *const *entries) {
    if (options != nullptr && options->size < sizeof *options)
        return "run-all options this version does not know";
    if (options != nullptr && (options->flags & ~known_flags) != 0)
        return "run-all flags this version does not know";
    if (!listed && count > 0)
        return "jobs counted but not given";
    for (size_t i = 0; i < count; ++i) {
        if (entries[i] == nullptr)
            return "a job that is null";
    }
    return nullptr;
}

int run_all(run &all, const cmdkit_start_options &start, const held_traces &held,
            start_failure &failure) {
    const cmdkit_run_all_options defaults = CMDKIT_RUN_ALL_OPTIONS_INIT;
    const cmdkit_run_all_options *options = all.options != nullptr ? all.options : &defaults;
    const void *const *entries = all.lines != nullptr
                                     ? reinterpret_cast<const void *const *>(all.lines)
                                     : reinterpret_cast<const void *const *>(all.pipelines);
    all.request =
        capture_request{nullptr, 0, options->max_output, options->job_timeout_ms, start.grace_ms};
    const char *why = refusal(all.options, all.count, entries != nullptr, entries);
    if (why == nullptr)
        why = capture_refusal(nullptr, start, all.request);
    if (why != nullptr) {
        refuse_request(failure, why);
        return -1;
    }
    all.options = options;
    all.start = start;
    all.held = &held;
    all.slots = options->jobs != 0 ? options->jobs : os_processor_count();
    const size_t slots = std::min<size_t>(all.slots, std::max<size_t>(all.count, 1));
    all.items = static_cast<cmdkit_poll_item *>(checked_malloc(slots * sizeof(cmdkit_poll_item)));
    all.slot_jobs = static_cast<size_t *>(checked_malloc(slots * sizeof(size_t)));
    all.jobs = static_cast<job *>(checked_malloc(std::max<size_t>(all.count, 1) * sizeof(job)));
    for (size_t i = 0; i < all.count; ++i)
        new (&all.jobs[i]) job();
    const int result = drive(all, failure);
    for (size_t i = 0; i < all.count; ++i)
        all.jobs[i].~job();
    std::free(all.jobs);
    std::free(all.items);
    std::free(all.slot_jobs);
    return result;
}

// The start options are read only from options this version knows.
const cmdkit_start_options *start_options_of(const cmdkit_run_all_options *options) {
    return options != nullptr && options->size >= sizeof *options ? options->start : nullptr;
}

// Both entry points: the jobs, given as lines or as pipelines, run and
// reported the same way.
int run_reported(run &all, const cmdkit_run_all_options *options, cmdkit_failure *failure) {
    all.options = options;
    return reporting(start_options_of(options), failure,
                     [&](const cmdkit_start_options &start, const held_traces &held,
                         start_failure &outcome) { return run_all(all, start, held, outcome); });
}

} // namespace

extern "C" int cmdkit_run_all(const char *const *lines, size_t count,
                              const cmdkit_run_all_options *options, cmdkit_failure *failure) {
    run all;
    all.lines = lines;
    all.count = count;
    return run_reported(all, options, failure);
}

extern "C" int cmdkit_run_all_pipelines(const cmdkit_pipeline *const *pipelines, size_t count,
                                        const cmdkit_run_all_options *options,
                                        cmdkit_failure *failure) {
    run all;
    all.pipelines = pipelines;
    all.count = count;
    return run_reported(all, options, failure);
}
