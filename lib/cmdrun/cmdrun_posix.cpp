#include "cmdkit.h"
#include "cmdline_internal.h"
#include "cmdrun_internal.h"
#include "process_posix.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

using namespace cmdkit::internal;

namespace {

// A copy at 3 or above.  Where the descriptor limit is 3 or less the
// system says EINVAL: there is no room, as with EMFILE.
int copy_above_standard_streams(int descriptor) {
    const int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (copy < 0 && errno == EINVAL)
        errno = EMFILE;
    return copy;
}

// Descriptors cmdkit makes never take 0-2, which a caller that closed one
// would otherwise be handed, and never reach another program.
int lifted(int descriptor) {
    if (descriptor < 0 || descriptor > 2)
        return descriptor;
    const int moved = copy_above_standard_streams(descriptor);
    const int error = errno;
    close(descriptor);
    errno = error;
    return moved;
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return lifted(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return -1;
#endif
}

// Through the pidfd where there is one, so that no recycled pid is hit.
void send_signal(const posix_command &command, int number) {
#ifdef SYS_pidfd_send_signal
    if (command.pidfd >= 0 &&
        syscall(SYS_pidfd_send_signal, command.pidfd, number, nullptr, 0) == 0)
        return;
#endif
    kill(command.pid, number);
}

// Which commands a pause saw end: those whose pidfd became readable, or
// every one after a pause without pidfds.
struct ended_set {
    bool every = false;
    bool *command = nullptr; // by index; null with `every`
    const bool *filter() const { return every ? nullptr : command; }
};

// Waits at most `remaining` ms (-1: no limit, 0: a look) for a command to
// end, on the pidfds of those not yet seen to end, whatever their number;
// where one has no pidfd, for an interval that grows from 1 to 50 ms.
// With nothing left running there is nothing to wait for.
void pause_until_change(cmdkit_process *process, int64_t remaining, int &interval,
                        ended_set &ended) {
    const auto count = static_cast<size_t>(process->count);
    small_array<pollfd> ready(count);
    small_array<int> index(count);
    nfds_t watched = 0;
    bool every_one_has_pidfd = true;
    {
        locked guard(process);
        for (size_t i = 0; i < count; ++i) {
            const posix_command &command = process->commands[i];
            if (command.reaped || process->states[i].exit.state != CMDKIT_EXIT_RUNNING)
                continue;
            every_one_has_pidfd = every_one_has_pidfd && command.pidfd >= 0;
            index[watched] = static_cast<int>(i);
            ready[watched++] = pollfd{command.pidfd, POLLIN, 0};
        }
    }
    ended.every = true;
    if (watched == 0)
        return;
    if (every_one_has_pidfd) {
        const int found = poll(ready.get(), watched, remaining_limit(remaining));
        if (found < 0 && errno != EINTR)
            return;
        ended.every = false;
        for (nfds_t i = 0; i < watched; ++i)
            ended.command[index[i]] = found > 0 && ready[i].revents != 0;
        return;
    }
    const int64_t pause = remaining < 0 ? interval : std::min<int64_t>(interval, remaining);
    usleep(static_cast<useconds_t>(pause * 1000));
    interval = std::min(interval * 2, 50);
}

char *joined(const char *directory, const char *name) {
    if (directory == nullptr || name[0] == '/')
        return checked_strdup(name);
    return join3(directory, "/", name);
}

} // namespace

namespace cmdkit::internal {

const bool os_composes_lines = false;

// Reaps, without blocking, every command that has ended.  With a group of
// its own the leader is only looked at (WNOWAIT) and reaped when the
// process is freed, so that the group's number stays ours for as long as
// cmdkit_kill may signal it.  A reaped command's pidfd stays open until the
// free: a wait in another thread may be polling it, and a number closed
// under that poll could be taken by any descriptor opened meanwhile.
// Returns 1 when every command has ended, 0 when some still run, -1 with
// errno ECHILD when a status was taken by someone else.
// `ready`, when given, names the commands worth a waitid (the others are
// taken to run on): a wait reaps each command with one call.
int collect(cmdkit_process *process, int &failed_index, const bool *ready) {
    int result = 1;
    for (int i = 0; i < process->count; ++i) {
        posix_command &command = process->commands[i];
        command_state &state = process->states[i];
        const bool leader = process->new_group && i == 0;
        if (command.reaped || (leader && state.exit.state != CMDKIT_EXIT_RUNNING))
            continue;
        if (ready != nullptr && !ready[i]) {
            result = result < 0 ? result : 0;
            continue;
        }
        siginfo_t info{};
        const int options = WEXITED | WNOHANG | (leader ? WNOWAIT : 0);
        int waited = 0;
        do
            waited = waitid(P_PID, static_cast<id_t>(command.pid), &info, options);
        while (waited != 0 && errno == EINTR);
        if (waited != 0) {
            failed_index = i;
            state.exit = cmdkit_exit{CMDKIT_EXIT_UNKNOWN, 0};
            command.reaped = true;
            result = -1;
            continue;
        }
        if (info.si_pid == 0) {
            result = result < 0 ? result : 0;
            continue;
        }
        const bool signaled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
        record_end(state, signaled, static_cast<unsigned long>(info.si_status));
        command.reaped = !leader;
    }
    if (result == -1)
        errno = ECHILD;
    return result;
}

// `number` to the group while it is ours (its leader not yet reaped), else
// to each command still running; false when none was.  With `killing` the
// running commands are marked so that their end reads KILLED.
bool signal_pipeline(cmdkit_process *process, int number, bool killing) {
    locked guard(process);
    int ignored = -1;
    collect(process, ignored);
    bool running = false;
    for (int i = 0; i < process->count; ++i) {
        const bool runs =
            !process->commands[i].reaped && process->states[i].exit.state == CMDKIT_EXIT_RUNNING;
        process->states[i].kill_requested = process->states[i].kill_requested || (runs && killing);
        if (runs && !(process->new_group && !process->commands[0].reaped))
            send_signal(process->commands[i], number);
        running = running || runs;
    }
    if (process->new_group && !process->commands[0].reaped)
        killpg(process->group, number);
    return running;
}

int64_t os_now_ms() {
    return now_ms();
}

char *os_absolute_path(const char *path, unsigned long &system_error) {
    if (path[0] == '/')
        return checked_strdup(path);
    for (size_t size = 256;; size *= 2) {
        auto *current = static_cast<char *>(checked_malloc(size));
        if (getcwd(current, size) != nullptr) {
            char *absolute =
                std::strcmp(path, ".") == 0 ? checked_strdup(current) : join3(current, "/", path);
            std::free(current);
            return absolute;
        }
        const int error = errno;
        std::free(current);
        if (error != ERANGE) {
            system_error = static_cast<unsigned long>(error);
            errno = error;
            return nullptr;
        }
    }
}

bool os_is_relative(const char *entry) {
    return entry[0] != '/';
}

int os_compare_names(const char *a, size_t a_length, const char *b, size_t b_length) {
    const int order = std::memcmp(a, b, std::min(a_length, b_length));
    if (order != 0)
        return order;
    return a_length < b_length ? -1 : a_length > b_length ? 1 : 0;
}

void *os_name_keys(const char *const *names, const size_t *lengths, size_t count, name_key *keys) {
    for (size_t i = 0; i < count; ++i)
        keys[i] = name_key{names[i], lengths[i], true};
    return nullptr;
}

int os_compare_keys(const name_key &a, const name_key &b) {
    return os_compare_names(static_cast<const char *>(a.units), a.length,
                            static_cast<const char *>(b.units), b.length);
}

bool os_check_environment(const char *const *, start_failure &) {
    return true;
}

char **os_caller_environment(bool &owned) {
    owned = false;
    return environ;
}

const char *os_signal_name(unsigned long number) {
    static const struct {
        int number;
        const char *name;
    } names[] = {{SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},
                 {SIGILL, "SIGILL"},       {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"},
                 {SIGBUS, "SIGBUS"},       {SIGFPE, "SIGFPE"},   {SIGKILL, "SIGKILL"},
                 {SIGUSR1, "SIGUSR1"},     {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
                 {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
                 {SIGCHLD, "SIGCHLD"},     {SIGCONT, "SIGCONT"}, {SIGSTOP, "SIGSTOP"},
                 {SIGTSTP, "SIGTSTP"},     {SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"},
                 {SIGURG, "SIGURG"},       {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
                 {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"},
                 {SIGIO, "SIGIO"},         {SIGSYS, "SIGSYS"}};
    for (const auto &known : names) {
        if (static_cast<unsigned long>(known.number) == number)
            return known.name;
    }
    return nullptr;
}

// A POSIX exit code is one byte, with no name.
const char *os_exit_code_name(unsigned long) {
    return nullptr;
}

bool os_exit_code_in_hex(unsigned long) {
    return false;
}

int os_check_handle(intptr_t handle) {
    return handle < 0 || handle > INT_MAX || fcntl(static_cast<int>(handle), F_GETFD) == -1 ? EBADF
                                                                                            : 0;
}

bool os_copy_handle(intptr_t handle, os_handle &copy, unsigned long &system_error) {
    copy = no_handle;
    if (os_check_handle(handle) != 0)
        errno = EBADF;
    else
        copy = copy_above_standard_streams(static_cast<int>(handle));
    system_error = static_cast<unsigned long>(errno);
    return copy >= 0;
}

int os_check_extra_handle(intptr_t handle, const char *&why) {
    why = "is not open";
    return os_check_handle(handle);
}

// Copies above every number a command takes (3 + count), so that no
// dup2 onto 3 + k in the child overwrites a copy still to be placed, and
// the commands see them in order whatever numbers the caller's have.
bool os_extra_handles(const start_plan &plan, os_handle *handles, bool &owned,
                      unsigned long &system_error) {
    owned = true;
    const auto above = static_cast<int>(std::min<size_t>(3 + plan.extra_count, INT_MAX));
    for (size_t i = 0; i < plan.extra_count; ++i) {
        handles[i] = fcntl(static_cast<int>(plan.extra_handles[i]), F_DUPFD_CLOEXEC, above);
        if (handles[i] < 0) {
            if (errno == EINVAL)
                errno = EMFILE;
            system_error = static_cast<unsigned long>(errno);
            return false;
        }
    }
    return true;
}

char *os_interpreter_path() {
    return nullptr;
}

bool os_check_directory(const char *directory, start_failure &failure) {
    struct stat status {};
    if (directory == nullptr)
        return true;
    int error = 0;
    if (stat(directory, &status) != 0)
        error = errno;
    else if (!S_ISDIR(status.st_mode))
        error = ENOTDIR;
    if (error == 0)
        return true;
    const char *pieces[] = {"Directory ", directory, " cannot be used: ", std::strerror(error),
                            "."};
    fail(failure, CMDKIT_FAILED_DIRECTORY, -1, error, static_cast<unsigned long>(error), pieces, 5);
    return false;
}

// A FIFO named by `<` is opened without waiting for its writer.
bool os_open_target(const char *name, const char *directory, int kind, os_handle &handle,
                    unsigned long &system_error) {
    char *path = joined(directory, name);
    int flags = O_CLOEXEC;
    if (kind == 0)
        flags |= O_RDONLY | O_NONBLOCK;
    else
        flags |= O_WRONLY | O_CREAT | (kind == 2 ? O_APPEND : O_TRUNC);
    int descriptor = lifted(open(path, flags, 0666));
    const int error = errno;
    std::free(path);
    if (descriptor >= 0 && kind == 0)
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    handle = descriptor;
    system_error = static_cast<unsigned long>(error);
    errno = error;
    return descriptor >= 0;
}

bool os_open_null_device(os_handle &handle, unsigned long &system_error) {
    handle = lifted(open("/dev/null", O_RDWR | O_CLOEXEC));
    system_error = static_cast<unsigned long>(errno);
    return handle >= 0;
}

bool os_make_pipe(os_handle &read_end, os_handle &write_end, unsigned long &system_error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        system_error = static_cast<unsigned long>(errno);
        return false;
    }
    ends[0] = lifted(ends[0]);
    ends[1] = lifted(ends[1]);
    if (ends[0] < 0 || ends[1] < 0) {
        const int error = errno;
        for (int end : ends)
            if (end >= 0)
                close(end);
        system_error = static_cast<unsigned long>(error);
        errno = error;
        return false;
    }
    read_end = ends[0];
    write_end = ends[1];
    return true;
}

// The caller's descriptor itself, never copied: the child's standard
// streams are put in place in the order 0, 2, 1, and the only one that can
// come from another of 0-2 is the errors from the output (1), which is
// still the caller's when it is copied.  One poll tells which of the three
// are open.
void os_caller_streams(bool open[3]) {
    pollfd streams[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    while (poll(streams, 3, 0) < 0 && errno == EINTR) {
    }
    for (int i = 0; i < 3; ++i)
        open[i] = (streams[i].revents & POLLNVAL) == 0;
}

bool os_caller_stream(int which, os_handle &stream, bool &owned, unsigned long &) {
    owned = false;
    stream = which;
    return true;
}

void os_close(os_handle handle) {
    if (handle >= 0)
        close(static_cast<int>(handle));
}

cmdkit_process *os_new_process(const start_plan &plan) {
    auto *process = static_cast<cmdkit_process *>(checked_malloc(sizeof(cmdkit_process)));
    new (process) cmdkit_process();
    process->count = plan.count;
    process->new_group = (plan.flags & CMDKIT_START_NEW_GROUP) != 0;
    for (int side = 0; side < 3; ++side)
        process->pipe_asked[side] = plan.streams[side].kind == CMDKIT_STREAM_PIPE;
    const auto count = static_cast<size_t>(plan.count);
    process->states = static_cast<command_state *>(checked_malloc(count * sizeof(command_state)));
    process->commands = static_cast<posix_command *>(checked_malloc(count * sizeof(posix_command)));
    for (size_t i = 0; i < count; ++i) {
        process->states[i] = command_state{};
        process->commands[i] = posix_command{};
    }
    return process;
}

// Signals that runtimes ignore for themselves, and SIGTERM, which a stop
// sends, go back to their defaults, with an empty mask; every other
// disposition passes as exec leaves it.
bool os_start_command(cmdkit_process *process, const start_plan &plan, int index,
                      const command_streams &streams, start_failure &failure) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The errors are put in place before the output: they may be the
    // caller's descriptor 1 (errors where the output goes, the output the
    // caller's), which a command writing into a pipe replaces.
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.input), 0);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.errors), 2);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.output), 1);
    for (size_t k = 0; k < streams.extra_count; ++k)
        posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.extras[k]),
                                         static_cast<int>(3 + k));
    posix_spawn_file_actions_addclosefrom_np(&actions, static_cast<int>(3 + streams.extra_count));
    if (plan.directory != nullptr)
        posix_spawn_file_actions_addchdir_np(&actions, plan.directory);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigaddset(&defaults, SIGTERM);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (process->new_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, index == 0 ? 0 : process->group);
    }
    posix_spawnattr_setflags(&attributes, flags);
    const prepared_command &command = plan.commands[index];
    char *const *environment =
        plan.environment != nullptr ? const_cast<char *const *>(plan.environment) : environ;
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, command.program, &actions, &attributes, command.argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        char position[24];
        std::snprintf(position, sizeof position, "%d", index + 1);
        const char *pieces[] = {
            "Command ",           position, " (", command.argv[0], ") could not be started: ",
            std::strerror(error), "."};
        fail(failure, CMDKIT_FAILED_START, index, error, static_cast<unsigned long>(error), pieces,
             7);
        return false;
    }
    locked guard(process);
    posix_command &started = process->commands[index];
    started.pid = pid;
    started.pidfd = open_pidfd(pid);
    started.reaped = false;
    if (index == 0)
        process->group = pid;
    return true;
}

// Each pass waits first, so that a command that has ended already is
// reaped by one waitid once its pidfd says so; a limit of 0 is one look.
int os_wait(cmdkit_process *process, long timeout_ms, int &failed_index) {
    const int64_t start = now_ms();
    int interval = 1;
    small_array<bool> seen_ended(static_cast<size_t>(process->count));
    for (;;) {
        int64_t remaining = -1;
        if (timeout_ms >= 0)
            remaining = std::max<int64_t>(0, timeout_ms - (now_ms() - start));
        ended_set ended;
        ended.command = seen_ended.get();
        for (int i = 0; i < process->count; ++i)
            seen_ended[static_cast<size_t>(i)] = false;
        pause_until_change(process, remaining, interval, ended);
        int collected = 0;
        {
            locked guard(process);
            collected = collect(process, failed_index, ended.filter());
        }
        if (collected != 0)
            return collected == 1 ? 0 : -1;
        if (remaining == 0)
            return 1;
    }
}

bool os_kill(cmdkit_process *process) {
    return signal_pipeline(process, SIGKILL, true);
}

bool os_terminate(cmdkit_process *process) {
    signal_pipeline(process, SIGTERM, false);
    return true;
}

void os_free_process(cmdkit_process *process) {
    os_kill(process);
    int ignored = -1;
    // Each failure marks its command as reaped, so this ends.
    while (os_wait(process, -1, ignored) < 0) {
    }
    posix_command &leader = process->commands[0];
    if (process->new_group && !leader.reaped) {
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(leader.pid), &info, WEXITED) != 0 &&
               errno == EINTR) {
        }
    }
    for (int i = 0; i < process->count; ++i) {
        if (process->commands[i].pidfd >= 0)
            close(process->commands[i].pidfd);
    }
    for (int side = 0; side < 3; ++side) {
        if (process->pipes[side] >= 0)
            close(process->pipes[side]);
    }
    std::free(process->states);
    std::free(process->commands);
    pthread_mutex_destroy(&process->lock);
    process->~cmdkit_process();
    std::free(process);
}

namespace {

// Waits until `pipe` is ready for `events`, within `timeout_ms` (-1: no
// limit) of `start`: true when it is, or when a signal came (look again),
// false with errno ETIMEDOUT or the failure's.
bool await_pipe(int pipe, short events, int64_t start, long timeout_ms) {
    for (;;) {
        int64_t remaining = -1;
        if (timeout_ms >= 0)
            remaining = std::max<int64_t>(0, timeout_ms - (now_ms() - start));
        pollfd ready{pipe, events, 0};
        const int found = poll(&ready, 1, remaining_limit(remaining));
        if (found > 0 || (found < 0 && errno == EINTR))
            return true;
        if (found < 0)
            return false;
        if (remaining >= 0 && remaining < INT_MAX) {
            errno = ETIMEDOUT;
            return false;
        }
    }
}

} // namespace

// Our writing end does not block, so that a write takes what fits; our
// reading ends are read only once poll has said there is something, and
// the commands' ends block as pipes do.
bool os_make_caller_pipe(stream_side side, os_handle &own_end, os_handle &command_end,
                         unsigned long &system_error) {
    os_handle read_end = no_handle;
    os_handle write_end = no_handle;
    if (!os_make_pipe(read_end, write_end, system_error))
        return false;
    own_end = side == input_side ? write_end : read_end;
    command_end = side == input_side ? read_end : write_end;
    // A new pipe's end has no other status flag to keep.
    if (side == input_side)
        fcntl(static_cast<int>(own_end), F_SETFL, O_NONBLOCK);
    return true;
}

void os_keep_pipe(cmdkit_process *process, stream_side side, os_handle own_end) {
    process->pipes[side] = static_cast<int>(own_end);
}

bool os_has_pipe(const cmdkit_process *process, stream_side side) {
    return process->pipe_asked[side];
}

bool os_pipe_ended(const cmdkit_process *process, stream_side side) {
    return process->pipes[side] < 0 || process->ended[side];
}

ptrdiff_t os_read_pipe(cmdkit_process *process, stream_side side, char *buffer, size_t size,
                       long timeout_ms) {
    const int pipe = process->pipes[side];
    if (pipe < 0)
        return 0;
    const int64_t start = now_ms();
    for (;;) {
        if (!await_pipe(pipe, POLLIN, start, timeout_ms))
            return -1;
        const ssize_t count = read(pipe, buffer, size);
        if (count >= 0) {
            process->ended[side] = process->ended[side] || count == 0;
            return count;
        }
        // EAGAIN: an event loop made the descriptor non-blocking, and
        // another reader or a spurious wake-up left nothing after all.
        if (errno != EINTR && errno != EAGAIN)
            return -1;
        if (errno == EAGAIN && timeout_ms == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

// Linux takes up to /proc/sys/fs/pipe-max-size (1 MiB by default) without
// privileges: fewer reads and fewer switches between the two processes.
void os_enlarge_pipe(cmdkit_process *process, stream_side side) {
#ifdef F_SETPIPE_SZ
    if (process->pipes[side] >= 0)
        fcntl(process->pipes[side], F_SETPIPE_SZ, 1 << 20);
#else
    (void)process;
    (void)side;
#endif
}

// A pipe that a poll showed ready has data or its end: the read does not
// block.
ptrdiff_t os_read_ready_pipe(cmdkit_process *process, stream_side side, char *buffer, size_t size) {
    const int pipe = process->pipes[side];
    if (pipe < 0)
        return 0;
    ssize_t count = 0;
    do
        count = read(pipe, buffer, size);
    while (count < 0 && errno == EINTR);
    if (count < 0 && errno == EAGAIN)
        errno = ETIMEDOUT; // nothing after all, on a non-blocking descriptor
    process->ended[side] = process->ended[side] || count == 0;
    return count;
}

int os_wait_pipes(cmdkit_process *process, bool want_input, long timeout_ms) {
    pollfd ready[3];
    int sides[3];
    nfds_t count = 0;
    for (int side = 0; side < 3; ++side) {
        const int pipe = process->pipes[side];
        if (pipe < 0 || process->ended[side] || (side == input_side && !want_input))
            continue;
        sides[count] = side;
        ready[count++] = pollfd{pipe, static_cast<short>(side == input_side ? POLLOUT : POLLIN), 0};
    }
    if (count == 0)
        return 0;
    const int64_t start = now_ms();
    for (;;) {
        int64_t remaining = -1;
        if (timeout_ms >= 0)
            remaining = std::max<int64_t>(0, timeout_ms - (now_ms() - start));
        const int events = poll(ready, count, remaining_limit(remaining));
        if (events < 0 && errno != EINTR)
            return -1;
        if (events > 0) {
            int sides_ready = 0;
            for (nfds_t i = 0; i < count; ++i)
                sides_ready |= ready[i].revents != 0 ? 1 << sides[i] : 0;
            return sides_ready;
        }
        if (events == 0 && remaining >= 0 && remaining < INT_MAX)
            return 0;
    }
}

// The pipe's reader gone, the write fails with EPIPE; SIGPIPE, which the
// kernel sends this thread then, stays blocked for the write and is taken
// back unless it was already pending, so the caller never gets it.
ssize_t write_without_sigpipe(int pipe, const char *data, size_t size) {
    sigset_t pipe_signal;
    sigset_t previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    const ssize_t written = write(pipe, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !was_pending) {
        const timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

ptrdiff_t os_write_input(cmdkit_process *process, const char *data, size_t size, long timeout_ms) {
    const int pipe = process->pipes[input_side];
    if (pipe < 0) {
        errno = EINVAL;
        return -1;
    }
    const int64_t start = now_ms();
    for (;;) {
        const ssize_t written = write_without_sigpipe(pipe, data, size);
        if (written > 0)
            return written;
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        if (!await_pipe(pipe, POLLOUT, start, timeout_ms))
            return -1;
    }
}

// What was written is in the pipe already: closing loses nothing.
void os_close_input(cmdkit_process *process) {
    if (process->pipes[input_side] >= 0)
        close(process->pipes[input_side]);
    process->pipes[input_side] = -1;
}

stream_side &os_last_ready(cmdkit_process *process) {
    return process->last_ready;
}

const command_state *os_states(const cmdkit_process *process, int &count) {
    count = process->count;
    return process->states;
}

bool os_contained(const cmdkit_process *process) {
    return process->new_group;
}

} // namespace cmdkit::internal
