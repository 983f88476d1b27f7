// cmdkit-run: runs one line, `a | b < in > out`, with no command
// interpreter in between, and ends with the status of its last command.
#include "cmdkit.h"
#include "cmdline.h"
#include "cmdrun.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

// Statuses of cmdkit-run itself, as timeout(1) and the shells use them.
constexpr int usage_status = 2;
constexpr int timed_out_status = 124;
constexpr int setup_status = 125;
constexpr int not_started_status = 126;
constexpr int not_found_status = 127;

const char usage[] = "usage: cmdkit-run [-t SECONDS [-k SECONDS]] [-C DIR] [-p] [-v] [--] LINE\n";
const char help[] = "Runs LINE (`a | b < in > out`) with no command interpreter in between.\n"
                    "  -t SECONDS  stop the pipeline after SECONDS (status 124; 0: no limit)\n"
                    "  -k SECONDS  at the limit, SIGTERM first and kill after SECONDS\n"
                    "  -C DIR      run every command in DIR\n"
                    "  -p          report the rightmost failing command, not the last\n"
                    "  -v          the library's traces on standard error\n"
                    "  --          end of the options\n"
                    "  LINE        the whole line, as one argument\n"
                    "  --help      this text; --version the version\n";

// The grace a SIGTERM or SIGHUP gives the pipeline when -k gives none.
constexpr long default_signal_grace_ms = 2000;

struct request {
    long timeout_ms = -1;
    long grace_ms = -1; // -1: no -k
    const char *directory = nullptr;
    bool pipefail = false;
    bool verbose = false;
    const char *line = nullptr;
};

// On Windows a console shows the message as UTF-16; elsewhere it goes out
// as the UTF-8 bytes it is.
void say(const std::string &reason) {
    const std::string text = "cmdkit-run: " + reason + "\n";
#ifdef _WIN32
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(errors, &mode)) {
        if (wchar_t *units = cmdkit_to_utf16(text.c_str())) {
            DWORD written = 0;
            WriteConsoleW(errors, units, static_cast<DWORD>(std::wcslen(units)), &written, nullptr);
            std::free(units);
            return;
        }
    }
#endif
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

int usage_error(const std::string &reason) {
    say(reason);
    std::fputs(usage, stderr);
    return usage_status;
}

// Digits with an optional `.` and more digits, in milliseconds rounded
// up; all zeros means no limit.  False for anything else or more than
// 2,147,483 seconds.
bool parse_seconds(const char *text, long &milliseconds) {
    const char *dot = std::strchr(text, '.');
    const std::string whole(text,
                            dot != nullptr ? static_cast<size_t>(dot - text) : std::strlen(text));
    const std::string fraction = dot != nullptr ? dot + 1 : "";
    const auto digits = [](const std::string &part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(whole) || (dot != nullptr && !digits(fraction)))
        return false;
    const size_t first = whole.find_first_not_of('0');
    if (first != std::string::npos && whole.size() - first > 7)
        return false;
    const long seconds = first == std::string::npos ? 0 : std::atol(whole.c_str() + first);
    long thousandths = 0;
    bool beyond = false;
    for (size_t i = 0; i < fraction.size(); ++i) {
        if (i < 3)
            thousandths = thousandths * 10 + (fraction[i] - '0');
        else
            beyond = beyond || fraction[i] != '0';
    }
    for (size_t i = fraction.size(); i < 3; ++i)
        thousandths *= 10;
    if (seconds > 2147483 || (seconds == 2147483 && (thousandths > 0 || beyond)))
        return false;
    const long total = seconds * 1000 + thousandths + (beyond ? 1 : 0);
    milliseconds = total == 0 ? -1 : total;
    return true;
}

// Returns 0 to go on, else the status to end with.
int read_arguments(const std::vector<std::string> &args, request &wanted,
                   std::vector<const char *> &lines) {
    size_t i = 1;
    for (; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help") {
            if (std::fputs(usage, stdout) < 0 || std::fputs(help, stdout) < 0 ||
                std::fflush(stdout) != 0) {
                say(std::string("cannot write standard output: ") + std::strerror(errno));
                return usage_status;
            }
            return -1;
        }
        if (arg == "--version") {
            if (std::printf("cmdkit-run %s\n", CMDKIT_VERSION) < 0 || std::fflush(stdout) != 0) {
                say(std::string("cannot write standard output: ") + std::strerror(errno));
                return usage_status;
            }
            return -1;
        }
        if (arg.size() < 2 || arg[0] != '-')
            break;
        if (arg == "-p") {
            wanted.pipefail = true;
        } else if (arg == "-v") {
            wanted.verbose = true;
        } else if ((arg == "-t" || arg == "-k" || arg == "-C") && i + 1 < args.size()) {
            const char *value = args[++i].c_str();
            long *seconds = arg == "-t" ? &wanted.timeout_ms : &wanted.grace_ms;
            if (arg == "-C")
                wanted.directory = value;
            else if (!parse_seconds(value, *seconds))
                return usage_error(std::string("not a number of seconds: ") + value);
            else if (arg == "-k")
                wanted.grace_ms = std::max(0L, wanted.grace_ms); // 0 kills at once
        } else {
            return usage_error("unknown option or missing value: " + arg);
        }
    }
    if (wanted.grace_ms >= 0 && wanted.timeout_ms < 0)
        return usage_error("-k needs a time limit: -t SECONDS, not 0");
    for (; i < args.size(); ++i)
        lines.push_back(args[i].c_str());
    if (lines.size() != 1)
        return usage_error(lines.empty() ? "no line to run"
                                         : "one line expected; quote the whole line");
    wanted.line = lines[0];
    return 0;
}

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

int status_of_failure(const cmdkit_failure &failure) {
    switch (failure.stage) {
    case CMDKIT_FAILED_PARSE:
        return usage_status;
    case CMDKIT_FAILED_FIND:
        return not_found_status;
    case CMDKIT_FAILED_START:
        return not_started_status;
    default:
        return setup_status;
    }
}

// SIGTERM or SIGHUP: the pipeline is stopped, whatever the mode.
volatile std::sig_atomic_t stop_signal = 0;
// SIGINT or SIGQUIT: the pipeline's own to act on, unless it runs in a
// group of its own, which the terminal's interrupt does not reach.
volatile std::sig_atomic_t interrupt_signal = 0;
volatile std::sig_atomic_t own_group_set = 0;

#ifndef _WIN32
// Every signal that calls for a stop counts here and writes a byte into
// the signal pipe, which the thread watching a grace waits on.
volatile std::sig_atomic_t stop_requests = 0;
int signal_pipe[2] = {-1, -1};

void note_signal(int number) {
    const int error = errno;
    if (number == SIGTERM || number == SIGHUP)
        stop_signal = number;
    else
        interrupt_signal = number;
    if (stop_signal == number || own_group_set != 0) {
        stop_requests = stop_requests + 1;
        const ssize_t written = write(signal_pipe[1], "s", 1);
        (void)written; // a full pipe holds enough to wake the watcher
    }
    errno = error;
}

// cmdkit-run waits on with a handler that only notes the signal (an
// ignored signal would be inherited by the commands).
void catch_signals(bool own_group) {
    own_group_set = own_group ? 1 : 0;
    std::signal(SIGCHLD, SIG_DFL); // an ignored SIGCHLD would take the statuses
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        signal_pipe[0] = signal_pipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
}

[[noreturn]] void end_by_signal(int number) {
    std::signal(number, SIG_DFL);
    std::raise(number);
    std::_Exit(128 + number);
}

// Watches a stop's grace: a signal that calls for a stop meanwhile kills
// the pipeline at once (cmdkit_kill beside cmdkit_stop, a pair cmdkit
// allows).  `seen` is how many such signals came before the grace.
struct grace_watch {
    cmdkit_process *process;
    std::sig_atomic_t seen;
    std::atomic<bool> over{false};
};

void *kill_on_signal(void *context) {
    auto *watch = static_cast<grace_watch *>(context);
    pollfd signals{signal_pipe[0], POLLIN, 0};
    while (!watch->over.load()) {
        if (poll(&signals, 1, -1) < 0 && errno != EINTR)
            return nullptr;
        char bytes[16];
        while (read(signal_pipe[0], bytes, sizeof bytes) > 0) {
        }
        if (!watch->over.load() && stop_requests != watch->seen) {
            cmdkit_kill(watch->process);
            return nullptr;
        }
    }
    return nullptr;
}

int stop_within_grace(cmdkit_process *process, long grace_ms) {
    grace_watch watch{process, stop_requests};
    pthread_t watcher{};
    const bool watching = grace_ms > 0 && signal_pipe[0] >= 0 &&
                          pthread_create(&watcher, nullptr, kill_on_signal, &watch) == 0;
    const int stopped = cmdkit_stop(process, grace_ms);
    if (watching) {
        watch.over.store(true);
        const ssize_t written = write(signal_pipe[1], "w", 1);
        (void)written;
        pthread_join(watcher, nullptr);
    }
    return stopped;
}
#else
BOOL WINAPI let_the_pipeline_decide(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// No signal can come during a stop on Windows, which kills at once.
int stop_within_grace(cmdkit_process *process, long grace_ms) {
    return cmdkit_stop(process, grace_ms);
}
#endif

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

// The signal that calls for the stop, or 0.
int signal_to_act_on(bool own_group) {
    return stop_signal != 0 ? stop_signal : own_group ? interrupt_signal : 0;
}

// Waits in short steps while a signal may call for the stop, which the
// handler itself may not do.
int wait_for(cmdkit_process *process, long timeout_ms, bool own_group) {
    for (long waited = 0;; waited += 50) {
        const long step = timeout_ms < 0 ? 50 : std::min<long>(50, timeout_ms - waited);
        const int result = cmdkit_wait(process, step > 0 ? step : 0);
        if (result != 1 || signal_to_act_on(own_group) != 0 ||
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
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.directory = wanted.directory;
    options.flags =
        (own_group ? CMDKIT_START_NEW_GROUP : 0u) | (wanted.verbose ? CMDKIT_START_TRACE : 0u);
#ifndef _WIN32
    catch_signals(own_group);
#else
    SetConsoleCtrlHandler(let_the_pipeline_decide, TRUE);
#endif
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    cmdkit_process *process = nullptr;
    if (cmdkit_start(&pipeline, &options, &process, &failure) != 0) {
        flush_traces(failure.message);
        say(failure.message);
        return status_of_failure(failure);
    }
    flush_traces();
    const int waited = wait_for(process, wanted.timeout_ms, own_group);
    const int failed_wait = waited < 0 ? errno : 0;
    int killed = 0;
    if (waited != 0 || signal_to_act_on(own_group) != 0) {
        killed = stop_within_grace(process, grace_for(signal_to_act_on(own_group), wanted));
        cmdkit_wait(process, -1);
    }
    const cmdkit_exit exit = reported_exit(process, pipeline.count, wanted.pipefail);
    cmdkit_free_process(process);
#ifndef _WIN32
    // Also a signal that came during the grace: cmdkit-run ends by it.
    if (signal_to_act_on(own_group) != 0)
        end_by_signal(signal_to_act_on(own_group));
#endif
    if (failed_wait != 0) {
        say(std::string("waiting for the pipeline failed: ") + std::strerror(failed_wait));
        return setup_status;
    }
    if (waited == 1) {
        say(killed == 1 ? "the time limit ran out; the pipeline was killed"
                        : "the time limit ran out; the pipeline was stopped");
        return timed_out_status;
    }
#ifndef _WIN32
    if (exit.state == CMDKIT_EXIT_SIGNALED && exit.code == SIGINT)
        end_by_signal(SIGINT); // so that a calling shell stops its loop
    if (exit.state == CMDKIT_EXIT_SIGNALED || exit.state == CMDKIT_EXIT_KILLED)
        return 128 + static_cast<int>(exit.code);
#endif
    return static_cast<int>(exit.code);
}

int run_main(const std::vector<std::string> &args) {
    request wanted;
    std::vector<const char *> lines;
    const int refused = read_arguments(args, wanted, lines);
    if (refused != 0)
        return refused < 0 ? 0 : refused;
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

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        char *text = cmdkit_from_utf16(argv[i]);
        args.emplace_back(text != nullptr ? text : "");
        std::free(text);
    }
    return run_main(args);
}
#else
int main(int argc, char **argv) {
    return run_main(std::vector<std::string>(argv, argv + argc));
}
#endif
