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
#include <unistd.h>
#endif

namespace {

// Statuses of cmdkit-run itself, as timeout(1) and the shells use them.
constexpr int usage_status = 2;
constexpr int timed_out_status = 124;
constexpr int setup_status = 125;
constexpr int not_started_status = 126;
constexpr int not_found_status = 127;

const char usage[] = "usage: cmdkit-run [-t SECONDS] [-C DIR] [-p] [-v] [--] LINE\n";

struct request {
    long timeout_ms = -1;
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
            if (std::fputs(usage, stdout) < 0 || std::fflush(stdout) != 0) {
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
        } else if ((arg == "-t" || arg == "-C") && i + 1 < args.size()) {
            const char *value = args[++i].c_str();
            if (arg == "-C")
                wanted.directory = value;
            else if (!parse_seconds(value, wanted.timeout_ms))
                return usage_error(std::string("not a number of seconds: ") + value);
        } else {
            return usage_error("unknown option or missing value: " + arg);
        }
    }
    for (; i < args.size(); ++i)
        lines.push_back(args[i].c_str());
    if (lines.size() != 1)
        return usage_error(lines.empty() ? "no line to run"
                                         : "one line expected; quote the whole line");
    wanted.line = lines[0];
    return 0;
}

// The last text the library sends is kept: a failing function's one
// message, the parser's reason included, which is said once, with the
// program's name.  With -v the trace lines go to standard error.
std::string last_message;
void keep_last(void *verbose, const char *text, size_t length) {
    last_message.assign(text, length);
    if (verbose != nullptr && length > 0 && text[length - 1] == '\n')
        cmdkit_trace_to_stderr(nullptr, text, length);
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

volatile std::sig_atomic_t received_signal = 0;

#ifndef _WIN32
void note_signal(int number) {
    received_signal = number;
}

// The pipeline's interrupts are its own: cmdkit-run waits on with a handler
// that does nothing (an ignored signal would be inherited by the commands).
void catch_signals(bool own_group) {
    std::signal(SIGCHLD, SIG_DFL); // an ignored SIGCHLD would take the statuses
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        if (own_group || number == SIGINT || number == SIGQUIT)
            sigaction(number, &action, nullptr);
    }
}

[[noreturn]] void end_by_signal(int number) {
    std::signal(number, SIG_DFL);
    std::raise(number);
    std::_Exit(128 + number);
}
#else
BOOL WINAPI let_the_pipeline_decide(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
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

// Waits in short steps while a signal may call for the kill, which the
// handler itself may not do.
int wait_for(cmdkit_process *process, long timeout_ms, bool own_group) {
    if (!own_group)
        return cmdkit_wait(process, timeout_ms);
    for (long waited = 0;; waited += 50) {
        const long step = timeout_ms < 0 ? 50 : std::min<long>(50, timeout_ms - waited);
        const int result = cmdkit_wait(process, step > 0 ? step : 0);
        if (result != 1 || received_signal != 0 || (timeout_ms >= 0 && waited + 50 >= timeout_ms))
            return result;
    }
}

int run(const request &wanted, const cmdkit_pipeline &pipeline) {
    const bool own_group = wanted.timeout_ms >= 0 && !input_is_terminal();
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.directory = wanted.directory;
    options.flags = own_group ? CMDKIT_START_NEW_GROUP : 0u;
#ifndef _WIN32
    catch_signals(own_group);
#else
    SetConsoleCtrlHandler(let_the_pipeline_decide, TRUE);
#endif
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    cmdkit_process *process = nullptr;
    if (cmdkit_start(&pipeline, &options, &process, &failure) != 0) {
        say(last_message);
        return status_of_failure(failure);
    }
    const int waited = wait_for(process, wanted.timeout_ms, own_group);
    if (waited != 0)
        cmdkit_kill(process);
    const int failed_wait = waited < 0 ? errno : 0;
    if (waited != 0)
        cmdkit_wait(process, -1);
    const cmdkit_exit exit = reported_exit(process, pipeline.count, wanted.pipefail);
    cmdkit_free_process(process);
#ifndef _WIN32
    if (received_signal != 0 && own_group)
        end_by_signal(received_signal);
#endif
    if (failed_wait != 0) {
        say(std::string("waiting for the pipeline failed: ") + std::strerror(failed_wait));
        return setup_status;
    }
    if (waited == 1) {
        say("the time limit ran out; the pipeline was killed");
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
