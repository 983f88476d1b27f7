#include "cmdkit.h"
#include "cmdline_internal.h"
#include "cmdrun_internal.h"
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

struct posix_command {
    pid_t pid = -1;
    int pidfd = -1; // -1 where the system has none: waits then poll waitpid
    bool reaped = true;
};

} // namespace

struct cmdkit_process {
    int count = 0;
    command_state *states = nullptr;
    posix_command *commands = nullptr;
    bool new_group = false;
    pid_t group = 0; // the leader's pid, with CMDKIT_START_NEW_GROUP
    bool capturing = false;
    int capture = -1; // the capture pipe's reading end, when there is one
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
};

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
void send_kill(const posix_command &command) {
#ifdef SYS_pidfd_send_signal
    if (command.pidfd >= 0 &&
        syscall(SYS_pidfd_send_signal, command.pidfd, SIGKILL, nullptr, 0) == 0)
        return;
#endif
    kill(command.pid, SIGKILL);
}

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct locked {
    explicit locked(cmdkit_process *process) : process_(process) {
        pthread_mutex_lock(&process_->lock);
    }
    ~locked() { pthread_mutex_unlock(&process_->lock); }
    cmdkit_process *process_;
};

// Reaps, without blocking, every command that has ended.  With a group of
// its own the leader is only looked at (WNOWAIT) and reaped when the
// process is freed, so that the group's number stays ours for as long as
// cmdkit_kill may signal it.  Returns 1 when every command has ended, 0
// when some still run, -1 with errno ECHILD when a status was taken by
// someone else.
int collect(cmdkit_process *process, int &failed_index) {
    int result = 1;
    for (int i = 0; i < process->count; ++i) {
        posix_command &command = process->commands[i];
        command_state &state = process->states[i];
        const bool leader = process->new_group && i == 0;
        if (command.reaped || (leader && state.exit.state != CMDKIT_EXIT_RUNNING))
            continue;
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
        if (leader)
            continue;
        command.reaped = true;
        if (command.pidfd >= 0)
            close(command.pidfd);
        command.pidfd = -1;
    }
    if (result == -1)
        errno = ECHILD;
    return result;
}

// Waits for a command to end: on the pidfds of those not yet seen to end,
// or, without pidfds, for an interval that grows from 1 to 50 ms.
void pause_until_change(cmdkit_process *process, int64_t remaining, int &interval) {
    pollfd ready[64];
    nfds_t count = 0;
    bool every_one_has_pidfd = true;
    {
        locked guard(process);
        for (int i = 0; i < process->count; ++i) {
            const posix_command &command = process->commands[i];
            if (command.reaped || process->states[i].exit.state != CMDKIT_EXIT_RUNNING)
                continue;
            if (command.pidfd < 0 || count == sizeof ready / sizeof ready[0]) {
                every_one_has_pidfd = false;
                break;
            }
            ready[count++] = pollfd{command.pidfd, POLLIN, 0};
        }
    }
    if (every_one_has_pidfd && count > 0) {
        const int limit =
            remaining < 0 ? -1 : static_cast<int>(std::min<int64_t>(remaining, INT_MAX));
        poll(ready, count, limit);
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

bool os_check_environment(const char *const *, start_failure &) {
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

// A copy at 3 or above, so that putting the streams on 0-2 in the child
// never overwrites one that is still to be used.  Only a descriptor that
// is not open (F_GETFD fails with EBADF alone) is a closed stream: a copy
// that fails, for want of descriptors say, must not send the commands'
// output to the null device.
bool os_caller_stream(int which, os_handle &copy, unsigned long &system_error) {
    copy = no_handle;
    if (fcntl(which, F_GETFD) == -1)
        return true;
    copy = copy_above_standard_streams(which);
    system_error = static_cast<unsigned long>(errno);
    return copy >= 0;
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
    process->capturing = (plan.flags & CMDKIT_START_CAPTURE_OUTPUT) != 0;
    const auto count = static_cast<size_t>(plan.count);
    process->states = static_cast<command_state *>(checked_malloc(count * sizeof(command_state)));
    process->commands = static_cast<posix_command *>(checked_malloc(count * sizeof(posix_command)));
    for (size_t i = 0; i < count; ++i) {
        process->states[i] = command_state{};
        process->commands[i] = posix_command{};
    }
    return process;
}

// Signals that runtimes ignore for themselves go back to their defaults,
// with an empty mask; every other disposition passes as exec leaves it.
bool os_start_command(cmdkit_process *process, const start_plan &plan, int index,
                      const command_streams &streams, start_failure &failure) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.input), 0);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.output), 1);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams.errors), 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (plan.directory != nullptr)
        posix_spawn_file_actions_addchdir_np(&actions, plan.directory);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
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

int os_wait(cmdkit_process *process, long timeout_ms, int &failed_index) {
    const int64_t start = now_ms();
    int interval = 1;
    for (;;) {
        int collected = 0;
        {
            locked guard(process);
            collected = collect(process, failed_index);
        }
        if (collected != 0)
            return collected == 1 ? 0 : -1;
        int64_t remaining = -1;
        if (timeout_ms >= 0) {
            remaining = static_cast<int64_t>(timeout_ms) - (now_ms() - start);
            if (remaining <= 0)
                return 1;
        }
        pause_until_change(process, remaining, interval);
    }
}

void os_kill(cmdkit_process *process) {
    locked guard(process);
    int ignored = -1;
    collect(process, ignored);
    bool group_signalled = false;
    for (int i = 0; i < process->count; ++i) {
        const posix_command &command = process->commands[i];
        if (command.reaped)
            continue;
        if (process->states[i].exit.state == CMDKIT_EXIT_RUNNING)
            process->states[i].kill_requested = true;
        if (process->new_group && !process->commands[0].reaped) {
            if (!group_signalled)
                killpg(process->group, SIGKILL);
            group_signalled = true;
        } else if (process->states[i].exit.state == CMDKIT_EXIT_RUNNING) {
            send_kill(command);
        }
    }
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
    if (process->capture >= 0)
        close(process->capture);
    std::free(process->states);
    std::free(process->commands);
    pthread_mutex_destroy(&process->lock);
    process->~cmdkit_process();
    std::free(process);
}

bool os_make_capture(os_handle &read_end, os_handle &write_end, unsigned long &system_error) {
    return os_make_pipe(read_end, write_end, system_error);
}

void os_keep_capture(cmdkit_process *process, os_handle read_end) {
    process->capture = static_cast<int>(read_end);
}

bool os_captures(const cmdkit_process *process) {
    return process->capturing;
}

ptrdiff_t os_read_output(cmdkit_process *process, char *buffer, size_t size, long timeout_ms) {
    if (process->capture < 0)
        return 0;
    const int64_t start = now_ms();
    for (;;) {
        int64_t remaining = -1;
        if (timeout_ms >= 0)
            remaining = std::max<int64_t>(0, timeout_ms - (now_ms() - start));
        pollfd ready{process->capture, POLLIN, 0};
        const int limit =
            remaining < 0 ? -1 : static_cast<int>(std::min<int64_t>(remaining, INT_MAX));
        const int events = poll(&ready, 1, limit);
        if (events < 0 && errno == EINTR)
            continue;
        if (events < 0)
            return -1;
        if (events == 0) {
            if (remaining != 0 && (remaining < 0 || remaining >= INT_MAX))
                continue;
            errno = ETIMEDOUT;
            return -1;
        }
        const ssize_t count = read(process->capture, buffer, size);
        if (count >= 0 || errno != EINTR)
            return count;
    }
}

const command_state *os_states(const cmdkit_process *process, int &count) {
    count = process->count;
    return process->states;
}

bool os_contained(const cmdkit_process *process) {
    return process->new_group;
}

} // namespace cmdkit::internal
