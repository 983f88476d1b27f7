// cmdkit-run -f FILE: each line of FILE a job, at most -j at once, each
// job's output and errors written whole when it ends, a status line on a
// terminal, and the status of the job that decides the run's.
#include "run_request.h"
#include "run_signals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <atomic>
#include <csignal>
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace runner {

namespace {

// The file's bytes: `-` is standard input; binary on every system, so
// that the lines are the file's UTF-8 whatever the code page.
bool read_whole(const char *name, std::string &text) {
    const bool standard_input = std::strcmp(name, "-") == 0;
#ifdef _WIN32
    if (standard_input)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    std::FILE *file = standard_input ? stdin : std::fopen(name, "rb");
    if (file == nullptr)
        return false;
    char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    const bool read = std::ferror(file) == 0;
    if (!standard_input)
        std::fclose(file);
    return read;
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The jobs of a file: its lines, a carriage return before each line feed
// dropped, without the lines that hold only white space or whose first
// character that is not blank is `#`.  A UTF-8 byte order mark is no part
// of the first line.
std::vector<std::string> jobs_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = 0;
        while (first < line.size() && blank(line[first]))
            ++first;
        if (first < line.size() && line[first] != '#')
            lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

size_t terminal_width() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
#else
    winsize size{};
    if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return 80;
}

bool errors_on_terminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return isatty(2) != 0;
#endif
}

// One line on standard error, `[finished/total] the line that ended last`,
// redrawn in place, as ninja's; cleared before a job's own output goes
// above it.  Cut to the terminal's width, never inside a UTF-8 sequence.
class status_line {
  public:
    explicit status_line(bool shown) : shown_(shown), width_(shown ? terminal_width() : 0) {}

    void clear() {
        if (drawn_ > 0)
            write_errors("\r" + std::string(drawn_, ' ') + "\r");
        drawn_ = 0;
    }
    void draw(size_t finished, size_t total, const std::string &line) {
        if (!shown_)
            return;
        std::string text =
            "[" + std::to_string(finished) + "/" + std::to_string(total) + "] " + line;
        size_t length = std::min(text.size(), width_ > 1 ? width_ - 1 : text.size());
        while (length > 0 && length < text.size() &&
               (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
        text.resize(length);
        const size_t cleared = drawn_ > text.size() ? drawn_ - text.size() : 0;
        write_errors("\r" + text + std::string(cleared, ' ') + std::string(cleared, '\b'));
        drawn_ = text.size();
    }
    void end() {
        if (drawn_ > 0)
            write_errors("\n");
        drawn_ = 0;
    }

  private:
    bool shown_;
    size_t width_;
    size_t drawn_ = 0;
};

bool write_whole(std::FILE *to, const char *data, size_t length) {
    return (length == 0 || std::fwrite(data, 1, length, to) == length) && std::fflush(to) == 0;
}

// What the run knows of the jobs, for its status.
struct many {
    const request &wanted;
    const std::vector<std::string> &lines;
    status_line status;
    size_t finished = 0;
    bool write_failed = false;
    // The job whose status ends cmdkit-run, by the rules below, or none.
    size_t chosen = static_cast<size_t>(-1);
    int chosen_status = 0;
    int chosen_signal = 0;
};

// What a job alone would have ended cmdkit-run with; false when it did not
// fail by itself (it exited 0, or the run stopped it or never started it).
bool own_failure(const cmdkit_captured *result, const cmdkit_failure *failure, int &status,
                 int &signal_number) {
    signal_number = 0;
    if (failure != nullptr) {
        status = status_of_failure(*failure);
        return failure->stage != CMDKIT_FAILED_NOT_STARTED;
    }
    if (result->timed_out != 0) {
        status = timed_out_status;
        return true;
    }
    status = status_of_exit(result->status, signal_number);
    return !(result->status.state == CMDKIT_EXIT_EXITED && result->status.code == 0);
}

// The failure that decides: the first in the file's order, or with -e the
// one that stopped the run, which is the first to end (in the file's order
// too when -K holds the reports back).
void weigh(many &run, size_t index, int outcome, const cmdkit_captured *result,
           const cmdkit_failure *failure) {
    int status = 0;
    int signal_number = 0;
    if (outcome == 1 && result != nullptr && result->timed_out == 0 && result->truncated == 0)
        return; // stopped by the run
    if (!own_failure(result, failure, status, signal_number))
        return;
    const bool first_to_end = run.wanted.stop_on_failure && !run.wanted.keep_order;
    const bool none_yet = run.chosen == static_cast<size_t>(-1);
    if (none_yet || (!first_to_end && index < run.chosen)) {
        run.chosen = index;
        run.chosen_status = status;
        run.chosen_signal = signal_number;
    }
}

// Each job's output and errors whole, its own refusal or time limit said as
// its errors; a write that fails cancels the run.
int report(void *context, size_t index, int outcome, const cmdkit_captured *result,
           const cmdkit_failure *failure) {
    auto &run = *static_cast<many *>(context);
    run.status.clear();
    bool written = true;
    if (result != nullptr) {
        written = write_whole(stdout, result->output, result->output_length) &&
                  write_whole(stderr, result->errors, result->errors_length);
        if (result->timed_out != 0)
            say("the time limit ran out; the job was stopped");
    } else if (failure->stage != CMDKIT_FAILED_NOT_STARTED) {
        say(failure->message);
    }
    weigh(run, index, outcome, result, failure);
    run.status.draw(++run.finished, run.lines.size(), run.lines[index]);
    if (!written)
        run.write_failed = true;
    return written ? 0 : 1;
}

#ifndef _WIN32
// SIGQUIT kills at once: each job's pipeline leads a process group of its
// own, led by a child of cmdkit-run that stays unreaped until its job is
// freed, so killing the groups of cmdkit-run's own children reaches every
// job and nothing else.
void kill_job_groups() {
    const std::string tasks = "/proc/" + std::to_string(getpid()) + "/task";
    DIR *folder = opendir(tasks.c_str());
    for (dirent *task = folder != nullptr ? readdir(folder) : nullptr; task != nullptr;
         task = readdir(folder)) {
        std::FILE *children = std::fopen((tasks + "/" + task->d_name + "/children").c_str(), "r");
        for (long pid = 0; children != nullptr && std::fscanf(children, "%ld", &pid) == 1;)
            killpg(static_cast<pid_t>(pid), SIGKILL);
        if (children != nullptr)
            std::fclose(children);
    }
    if (folder != nullptr)
        closedir(folder);
}

struct quit_watch {
    int wake[2] = {-1, -1};
    pthread_t thread{};
    bool started = false;
};

void *kill_on_quit(void *context) {
    auto *watch = static_cast<quit_watch *>(context);
    pollfd both[2] = {{quit_handle(), POLLIN, 0}, {watch->wake[0], POLLIN, 0}};
    while (poll(both, 2, -1) < 0 && errno == EINTR) {
    }
    if ((both[0].revents & POLLIN) != 0)
        kill_job_groups();
    return nullptr;
}
#endif

int run_jobs(many &run) {
    const request &wanted = run.wanted;
    cmdkit_start_options start = start_options_of(wanted);
    start.grace_ms = wanted.grace_ms >= 0 ? wanted.grace_ms : default_signal_grace_ms;
    std::vector<const char *> list;
    for (const std::string &line : run.lines)
        list.push_back(line.c_str());
    cmdkit_run_all_options options = CMDKIT_RUN_ALL_OPTIONS_INIT;
    options.jobs = wanted.jobs;
    options.flags = (wanted.keep_order ? CMDKIT_ALL_KEEP_ORDER : 0u) |
                    (wanted.stop_on_failure ? CMDKIT_ALL_STOP_ON_FAILURE : 0u);
    options.job_timeout_ms = wanted.timeout_ms;
    options.start = &start;
    options.done = report;
    options.context = &run;
    options.cancel_handle = stop_handle();
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    const int ran = cmdkit_run_all(list.data(), list.size(), &options, &failure);
    if (ran < 0)
        say(failure.message);
    return ran;
}

} // namespace

int run_many(const request &wanted) {
    std::string text;
    if (!read_whole(wanted.file, text)) {
        say(std::string("cannot read ") + wanted.file + ": " + std::strerror(errno));
        return usage_status;
    }
    const std::vector<std::string> lines = jobs_of(text);
    write_streams_as_bytes();
#ifndef _WIN32
    // A reader that went away is seen as a failed write, which stops every
    // job first; cmdkit-run then ends by SIGPIPE itself.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    cmdkit_set_trace(wanted.verbose ? cmdkit_trace_to_stderr : nullptr, nullptr);
    catch_signals(true);
    many run{wanted, lines, status_line(!wanted.quiet && errors_on_terminal())};
#ifndef _WIN32
    quit_watch watch;
    watch.started =
        pipe(watch.wake) == 0 && pthread_create(&watch.thread, nullptr, kill_on_quit, &watch) == 0;
#endif
    const int ran = run_jobs(run);
#ifndef _WIN32
    if (watch.started) {
        const ssize_t woken = write(watch.wake[1], "w", 1);
        (void)woken;
        pthread_join(watch.thread, nullptr);
        close(watch.wake[0]);
        close(watch.wake[1]);
    }
#endif
    run.status.end();
    if (signal_to_act_on() != 0)
        end_by_signal(signal_to_act_on());
#ifndef _WIN32
    if (run.write_failed)
        end_by_signal(SIGPIPE);
#endif
    if (ran < 0)
        return usage_status;
    if (run.write_failed)
        return setup_status;
    if (run.chosen_signal != 0)
        end_by_signal(run.chosen_signal);
    return run.chosen == static_cast<size_t>(-1) ? 0 : run.chosen_status;
}

} // namespace runner
