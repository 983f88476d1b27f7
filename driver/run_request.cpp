// cmdkit-run's arguments, messages and statuses.
#include "run_request.h"

#include "cmdkit.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace runner {

namespace {

const char usage[] = "usage: cmdkit-run [-t SECONDS [-k SECONDS]] [-C DIR] [-p] [-v] [--] LINE\n"
                     "       cmdkit-run -f FILE [-j JOBS] [-K] [-e] [-q] [-t SECONDS [-k SECONDS]] "
                     "[-C DIR] [-p] [-v]\n";
const char help[] = "Runs LINE (`a | b < in > out`) with no command interpreter in between,\n"
                    "or with -f each line of FILE as a job.\n"
                    "  -t SECONDS  stop the pipeline (each job) after SECONDS (status 124; 0: no "
                    "limit)\n"
                    "  -k SECONDS  at the limit, SIGTERM first and kill after SECONDS\n"
                    "  -C DIR      run every command in DIR\n"
                    "  -p          report the rightmost failing command, not the last\n"
                    "  -v          the library's traces on standard error\n"
                    "  -f FILE     run each line of FILE (-: standard input) as a job\n"
                    "  -j JOBS     at most JOBS jobs at once (0: one per processor; 1 without -j)\n"
                    "  -K          report the jobs in the file's order, not as they end\n"
                    "  -e          stop at the first job that fails\n"
                    "  -q          no status line on a terminal\n"
                    "  --          end of the options\n"
                    "  LINE        the whole line, as one argument\n"
                    "  --help      this text; --version the version\n";

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

// At most seven digits: a million jobs at once is more than any system runs.
bool parse_jobs(const std::string &text, unsigned &jobs) {
    if (text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    jobs = static_cast<unsigned>(std::atol(text.c_str()));
    return true;
}

int print(const char *text) {
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        say(std::string("cannot write standard output: ") + std::strerror(errno));
        return usage_status;
    }
    return -1;
}

// The options that take a value; false for a value that is not one.
bool take_value(const std::string &option, const std::string &value, request &wanted) {
    if (option == "-C")
        wanted.directory = value.c_str();
    else if (option == "-f")
        wanted.file = value.c_str();
    else if (option == "-j")
        return parse_jobs(value, wanted.jobs);
    else if (!parse_seconds(value.c_str(), option == "-t" ? wanted.timeout_ms : wanted.grace_ms))
        return false;
    else if (option == "-k")
        wanted.grace_ms = std::max(0L, wanted.grace_ms); // 0 kills at once
    return true;
}

// The rules between the options and the operands.
int check_combination(const request &wanted, bool many_options, size_t operands) {
    if (wanted.grace_ms >= 0 && wanted.timeout_ms < 0)
        return usage_error("-k needs a time limit: -t SECONDS, not 0");
    if (wanted.file != nullptr && operands > 0)
        return usage_error("-f FILE and a LINE: give one or the other");
    if (wanted.file == nullptr && many_options)
        return usage_error("-j, -K, -e and -q need -f FILE");
    if (wanted.file == nullptr && operands != 1)
        return usage_error(operands == 0 ? "no line to run"
                                         : "one line expected; quote the whole line");
    return 0;
}

} // namespace

void write_errors(const std::string &text) {
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

namespace {
// What ends a line of cmdkit-run's own: a line feed, which a Windows text
// stream writes as CR LF.
const char *own_line_end = "\n";
} // namespace

void write_streams_as_bytes() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    own_line_end = "\r\n"; // as text mode wrote it
#endif
}

void say(const std::string &reason) {
    write_errors("cmdkit-run: " + reason + own_line_end);
}

int read_arguments(const std::vector<std::string> &args, request &wanted) {
    size_t i = 1;
    bool many_options = false;
    for (; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help") {
            const int said = print(usage);
            return said == -1 ? print(help) : said;
        }
        if (arg == "--version")
            return print(("cmdkit-run " + std::string(CMDKIT_VERSION) + "\n").c_str());
        if (arg.size() < 2 || arg[0] != '-')
            break;
        if (arg == "-p" || arg == "-v" || arg == "-K" || arg == "-e" || arg == "-q") {
            bool &flag = arg == "-p"   ? wanted.pipefail
                         : arg == "-v" ? wanted.verbose
                         : arg == "-K" ? wanted.keep_order
                         : arg == "-e" ? wanted.stop_on_failure
                                       : wanted.quiet;
            flag = true;
            many_options = many_options || (arg != "-p" && arg != "-v");
        } else if ((arg == "-t" || arg == "-k" || arg == "-C" || arg == "-f" || arg == "-j") &&
                   i + 1 < args.size()) {
            if (!take_value(arg, args[++i], wanted))
                return usage_error(std::string(arg == "-j" ? "not a number of jobs: "
                                                           : "not a number of seconds: ") +
                                   args[i]);
            many_options = many_options || arg == "-j";
        } else {
            return usage_error("unknown option or missing value: " + arg);
        }
    }
    const int refused = check_combination(wanted, many_options, args.size() - i);
    if (refused == 0 && wanted.file == nullptr)
        wanted.line = args[i].c_str();
    return refused;
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

int status_of_exit(const cmdkit_exit &exit, int &raise_signal) {
    raise_signal = 0;
#ifndef _WIN32
    if (exit.state == CMDKIT_EXIT_SIGNALED && exit.code == SIGINT)
        raise_signal = SIGINT;
    if (exit.state == CMDKIT_EXIT_SIGNALED || exit.state == CMDKIT_EXIT_KILLED)
        return 128 + static_cast<int>(exit.code);
#endif
    return static_cast<int>(exit.code);
}

cmdkit_start_options start_options_of(const request &wanted) {
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.directory = wanted.directory;
    options.flags =
        (wanted.verbose ? CMDKIT_START_TRACE : 0u) | (wanted.pipefail ? CMDKIT_START_PIPEFAIL : 0u);
    return options;
}

} // namespace runner
