// The POSIX half's running pipeline, shared by the file that starts and
// waits for it (cmdrun_posix.cpp) and the one that polls many at once
// (poll_posix.cpp).
#ifndef CMDKIT_PROCESS_POSIX_H
#define CMDKIT_PROCESS_POSIX_H

#include "cmdrun_internal.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

namespace cmdkit::internal {

struct posix_command {
    pid_t pid = -1;
    int pidfd = -1; // -1 where the system has none: waits then poll waitpid
    bool reaped = true;
};

} // namespace cmdkit::internal

struct cmdkit_process {
    int count = 0;
    cmdkit::internal::command_state *states = nullptr;
    cmdkit::internal::posix_command *commands = nullptr;
    bool new_group = false;
    pid_t group = 0; // the leader's pid, with CMDKIT_START_NEW_GROUP
    // Per side, the pipe the caller asked for: our end (the writing one for
    // the input), and whether a read has seen its end.
    bool pipe_asked[3] = {false, false, false};
    int pipes[3] = {-1, -1, -1};
    bool ended[3] = {false, false, false};
    cmdkit::internal::stream_side last_ready = cmdkit::internal::errors_side;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
};

namespace cmdkit::internal {

inline int remaining_limit(int64_t remaining) {
    return remaining < 0 ? -1 : static_cast<int>(std::min<int64_t>(remaining, INT_MAX));
}

inline int64_t now_ms() {
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

// Space for one pause's pollfds and what each stands for, on the stack for
// a short pipeline and from the heap beyond.
template <typename T> class small_array {
  public:
    // The bound is the array's own size, so that the two never disagree.
    explicit small_array(size_t count)
        : data_(count <= sizeof local_ / sizeof local_[0]
                    ? local_
                    : static_cast<T *>(checked_malloc(count * sizeof(T)))) {}
    ~small_array() {
        if (data_ != local_)
            std::free(data_);
    }
    small_array(const small_array &) = delete;
    small_array &operator=(const small_array &) = delete;
    T &operator[](size_t i) { return data_[i]; }
    T *get() { return data_; }

  private:
    T local_[16];
    T *data_;
};

// Reaps, without blocking, the commands that have ended (only those
// `ready` names, when given), under the process's lock: 1 when every
// command has ended, 0 when some still run, -1 with ECHILD when a status
// was taken by someone else.
int collect(cmdkit_process *process, int &failed_index, const bool *ready = nullptr);

// `number` to what runs, the group while it is ours; false when nothing ran.
bool signal_pipeline(cmdkit_process *process, int number, bool killing);

} // namespace cmdkit::internal

#endif
