// cmdkit-run LINE: one line, started, waited for within the time limit,
// stopped by the limit or a signal, ending with its last command's status.
#include "run_request.h"
#include "run_signals.h"

#include "cmdline.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace runner {

namespace {

// The last text the library sends is kept: the parser's reason for a line
// that does not parse, which is said once, with the program's name (a
// failed start's message comes in its report).  With -v the trace lines go
// to standard error one behind, so that the last, when it is the message
// said with the program's name, is not written twice.
std::string last_message;
std::string held_trace;
void keep_last(void *verbose, const char *text, size_t length) {
    last_message.assign(text, length);
    if (verbose == nullptr)
        return;
    std::fwrite(held_trace.data(), 1, held_trace.size(), stderr);
    held_trace.clear();
    if (length > 0 && text[length - 1] == '\n')
        held_trace.assign(text, length);
}

// The held trace line, unless it is the message about to be said.
void flush_traces(const std::string &said = std::string()) {
    if (held_trace != said && held_trace != said + "\n")
        std::fwrite(held_trace.data(), 1, held_trace.size(), stderr);
    held_trace.clear();
}

bool input_is_terminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
#else
    return isatty(0) != 0;
#endif
}

cmdkit_exit reported_exit(const cmdkit_process *process, int count, bool pipefail) {
    cmdkit_exit exit{};
    cmdkit_exit_status(process, count - 1, &exit);
    for (int i = count - 1; pipefail && i >= 0; --i) {
        cmdkit_exit each{};
        cmdkit_exit_status(process, i, &each);
        if (each.state != CMDKIT_EXIT_EXITED || each.code != 0)
            return each;
    }
    return exit;
}

// Waits in short steps while a signal may call for the stop, which the
// handler itself may not do.
int wait_for(cmdkit_process *process, long timeout_ms) {
    for (long waited = 0;; waited += 50) {
        const long step = timeout_ms < 0 ? 50 : std::min<long>(50, timeout_ms - waited);
        const int result = cmdkit_wait(process, step > 0 ? step : 0);
        if (result != 1 || signal_to_act_on() != 0 ||
            (timeout_ms >= 0 && waited + 50 >= timeout_ms))
            return result;
    }
}

// How long the stop gives the pipeline: a stop signal its grace (two
// seconds without -k), an interrupt none, the time limit -k's.
long grace_for(int signal_number, const request &wanted) {
#ifndef _WIN32
    if (signal_number == SIGINT || signal_number == SIGQUIT)
        return 0;
#endif
    if (signal_number != 0 && wanted.grace_ms < 0)
        return default_signal_grace_ms;
    return std::max(0L, wanted.grace_ms);
}

int run(const request &wanted, const cmdkit_pipeline &pipeline) {
    const bool own_group = wanted.timeout_ms >= 0 && !input_is_terminal();
    cmdkit_start_options options = start_options_of(wanted);
    options.flags |= own_group ? CMDKIT_START_NEW_GROUP : 0u;
#ifndef _WIN32
    catch_signals(own_group);
#else
    catch_signals(false); // a console's Ctrl+C reaches the commands themselves
#endif
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    cmdkit_process *process = nullptr;
    if (cmdkit_start(&pipeline, &options, &process, &failure) != 0) {
        flush_traces(failure.message);
        say(failure.message);
        return status_of_failure(failure);
    }
    flush_traces();
    const int waited = wait_for(process, wanted.timeout_ms);
    const int failed_wait = waited < 0 ? errno : 0;
    int killed = 0;
    if (waited != 0 || signal_to_act_on() != 0) {
        killed = stop_within_grace(process, grace_for(signal_to_act_on(), wanted));
        cmdkit_wait(process, -1);
    }
    const cmdkit_exit exit = reported_exit(process, pipeline.count, wanted.pipefail);
    cmdkit_free_process(process);
    // Also a signal that came during the grace: cmdkit-run ends by it.
    if (signal_to_act_on() != 0)
        end_by_signal(signal_to_act_on());
    if (failed_wait != 0) {
        say(std::string("waiting for the pipeline failed: ") + std::strerror(failed_wait));
        return setup_status;
    }
    if (waited == 1) {
        say(killed == 1 ? "the time limit ran out; the pipeline was killed"
                        : "the time limit ran out; the pipeline was stopped");
        return timed_out_status;
    }
    int raise_signal = 0;
    const int status = status_of_exit(exit, raise_signal);
    if (raise_signal != 0)
        end_by_signal(raise_signal); // so that a calling shell stops its loop
    return status;
}

} // namespace

int run_one(const request &wanted) {
    static int verbose = 0;
    cmdkit_set_trace(keep_last, wanted.verbose ? &verbose : nullptr);
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    if (cmdkit_parse_pipeline(wanted.line, &pipeline) != 0) {
        flush_traces(last_message);
        say(last_message);
        return usage_status;
    }
    const int status = run(wanted, pipeline);
    cmdkit_clear_pipeline(&pipeline);
    return status;
}

} // namespace runner
