// cmdkit-run's signals, noted and turned into bytes of a pipe.
#include "run_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace runner {

namespace {

// SIGTERM or SIGHUP: the pipeline is stopped, whatever the mode.
volatile std::sig_atomic_t stop_signal = 0;
// SIGINT or SIGQUIT: the pipeline's own to act on, unless it runs in a
// group of its own, which the terminal's interrupt does not reach.
volatile std::sig_atomic_t interrupt_signal = 0;
volatile std::sig_atomic_t interrupts_stop_set = 0;

#ifndef _WIN32
// Every signal that calls for a stop counts here and writes a byte into
// the signal pipe; a SIGQUIT also into the quit pipe.
volatile std::sig_atomic_t stop_requests = 0;
int signal_pipe[2] = {-1, -1};
int quit_pipe[2] = {-1, -1};

void note_signal(int number) {
    const int error = errno;
    if (number == SIGTERM || number == SIGHUP)
        stop_signal = number;
    else
        interrupt_signal = number;
    if (stop_signal == number || interrupts_stop_set != 0) {
        stop_requests = stop_requests + 1;
        const ssize_t written = write(signal_pipe[1], "s", 1);
        (void)written; // a full pipe holds enough to wake whoever watches
    }
    if (number == SIGQUIT) {
        const ssize_t written = write(quit_pipe[1], "q", 1);
        (void)written;
    }
    errno = error;
}

// Watches a stop's grace: a signal that calls for a stop meanwhile kills
// the pipeline at once.  `seen` is how many such signals came before it.
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
#else
HANDLE stop_event = nullptr;

BOOL WINAPI note_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    interrupt_signal = 2;
    if (interrupts_stop_set != 0 && stop_event != nullptr)
        SetEvent(stop_event);
    return TRUE;
}
#endif

} // namespace

void catch_signals(bool interrupts_stop) {
    interrupts_stop_set = interrupts_stop ? 1 : 0;
#ifndef _WIN32
    std::signal(SIGCHLD, SIG_DFL);
    for (int *ends : {signal_pipe, quit_pipe}) {
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            ends[0] = ends[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
#else
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_console_event, TRUE);
#endif
}

int signal_to_act_on() {
    return stop_signal != 0 ? stop_signal : interrupts_stop_set != 0 ? interrupt_signal : 0;
}

intptr_t stop_handle() {
#ifdef _WIN32
    return stop_event != nullptr ? reinterpret_cast<intptr_t>(stop_event) : -1;
#else
    return signal_pipe[0];
#endif
}

bool quit_noted() {
#ifdef _WIN32
    return false;
#else
    return interrupt_signal == SIGQUIT;
#endif
}

int quit_handle() {
#ifdef _WIN32
    return -1;
#else
    return quit_pipe[0];
#endif
}

int stop_within_grace(cmdkit_process *process, long grace_ms) {
#ifndef _WIN32
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
#else
    // No signal can come during a stop on Windows, which kills at once.
    return cmdkit_stop(process, grace_ms);
#endif
}

void end_by_signal(int number) {
#ifndef _WIN32
    std::signal(number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, number);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    std::raise(number);
#endif
    std::_Exit(128 + number);
}

} // namespace runner
