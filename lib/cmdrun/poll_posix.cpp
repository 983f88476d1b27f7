// Many pipelines at once on POSIX: cmdkit_poll waits in one poll(2) on the
// pipes and the commands' pidfds of every pipeline it is given, and
// cmdkit_pollables hands the same descriptors to an outside event loop.
#include "cmdrun_internal.h"
#include "process_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace cmdkit::internal {

namespace {

// Where a command has no pidfd, its end is looked for this often.
constexpr int64_t step_without_pidfd_ms = 50;

// What one watched descriptor stands for: an item's pipe, or one of its
// commands (ENDED).
struct watch_target {
    size_t item;
    unsigned event;
    int command;
};

// The descriptors of one poll and what each stands for.
class watch_list {
  public:
    explicit watch_list(size_t room)
        : descriptors_(static_cast<pollfd *>(checked_malloc(room * sizeof(pollfd)))),
          targets_(static_cast<watch_target *>(checked_malloc(room * sizeof(watch_target)))) {}
    ~watch_list() {
        std::free(descriptors_);
        std::free(targets_);
    }
    watch_list(const watch_list &) = delete;
    watch_list &operator=(const watch_list &) = delete;

    void add(int descriptor, short events, watch_target target) {
        descriptors_[count_] = pollfd{descriptor, events, 0};
        targets_[count_++] = target;
    }
    void clear() { count_ = 0; }
    pollfd *descriptors() { return descriptors_; }
    nfds_t count() const { return count_; }
    bool ready(nfds_t i) const { return descriptors_[i].revents != 0; }
    const watch_target &target(nfds_t i) const { return targets_[i]; }

  private:
    pollfd *descriptors_;
    watch_target *targets_;
    nfds_t count_ = 0;
};

bool runs(const cmdkit_process *process, int index) {
    return !process->commands[index].reaped &&
           process->states[index].exit.state == CMDKIT_EXIT_RUNNING;
}

// A read pipe is ready without a wait once its end was read, or when a `>`
// target left it without a descriptor: a read then gives the end at once.
void watch_read_side(const cmdkit_poll_item &item, size_t index, stream_side side, unsigned event,
                     watch_list &list, unsigned &events) {
    if ((item.interests & event) == 0)
        return;
    const cmdkit_process *process = item.process;
    if (process->pipes[side] < 0 || process->ended[side])
        events |= event;
    else
        list.add(process->pipes[side], POLLIN, {index, event, -1});
}

// Every command has ended, or the pidfds of those that run are watched;
// `stepping` is set for one that has none.
void watch_commands(cmdkit_poll_item &item, size_t index, watch_list &list, unsigned &events,
                    bool &stepping) {
    if ((item.interests & CMDKIT_EVENT_ENDED) == 0)
        return;
    cmdkit_process *process = item.process;
    locked guard(process);
    bool running = false;
    for (int i = 0; i < process->count; ++i) {
        if (!runs(process, i))
            continue;
        running = true;
        if (process->commands[i].pidfd < 0)
            stepping = true;
        else
            list.add(process->commands[i].pidfd, POLLIN, {index, CMDKIT_EVENT_ENDED, i});
    }
    if (!running)
        events |= CMDKIT_EVENT_ENDED;
}

// The events each item has without a wait, and the descriptors of the rest.
int look_without_waiting(cmdkit_poll_item *items, size_t count, watch_list &list, bool &stepping) {
    int ready = 0;
    for (size_t i = 0; i < count; ++i) {
        cmdkit_poll_item &item = items[i];
        item.events = 0;
        if (item.process == nullptr)
            continue;
        unsigned events = 0;
        watch_read_side(item, i, output_side, CMDKIT_EVENT_OUTPUT, list, events);
        watch_read_side(item, i, errors_side, CMDKIT_EVENT_ERRORS, list, events);
        if ((item.interests & CMDKIT_EVENT_INPUT) != 0)
            list.add(item.process->pipes[input_side], POLLOUT, {i, CMDKIT_EVENT_INPUT, -1});
        watch_commands(item, i, list, events, stepping);
        item.events = events;
        ready += events != 0 ? 1 : 0;
    }
    return ready;
}

// Reaps the commands of one item whose pidfds the poll found readable (all
// that run, when they have none to watch): ENDED once every one has ended.
void reap(cmdkit_poll_item &item, const bool *readable) {
    int ignored = -1;
    locked guard(item.process);
    if (collect(item.process, ignored, readable) != 0)
        item.events |= CMDKIT_EVENT_ENDED;
}

// The target of the extra handle, which stands for no item.
constexpr size_t extra_target = static_cast<size_t>(-1);

// What the poll found, item by item; the pidfds of one item are listed one
// after the other.
void take_events(cmdkit_poll_item *items, size_t count, const watch_list &list, bool stepping,
                 bool &extra_ready) {
    for (nfds_t i = 0; i < list.count();) {
        const watch_target &target = list.target(i);
        if (target.item == extra_target) {
            extra_ready = list.ready(i);
            ++i;
            continue;
        }
        if (target.event != CMDKIT_EVENT_ENDED) {
            items[target.item].events |= list.ready(i) ? target.event : 0u;
            ++i;
            continue;
        }
        cmdkit_poll_item &item = items[target.item];
        small_array<bool> readable(static_cast<size_t>(item.process->count));
        for (int c = 0; c < item.process->count; ++c)
            readable[static_cast<size_t>(c)] = false;
        bool any = false;
        for (; i < list.count() && list.target(i).item == target.item &&
               list.target(i).event == CMDKIT_EVENT_ENDED;
             ++i) {
            readable[static_cast<size_t>(list.target(i).command)] = list.ready(i);
            any = any || list.ready(i);
        }
        if (any)
            reap(item, readable.get());
    }
    for (size_t i = 0; stepping && i < count; ++i) {
        if (items[i].process != nullptr && (items[i].interests & CMDKIT_EVENT_ENDED) != 0 &&
            (items[i].events & CMDKIT_EVENT_ENDED) == 0)
            reap(items[i], nullptr);
    }
}

int items_with_events(const cmdkit_poll_item *items, size_t count) {
    int ready = 0;
    for (size_t i = 0; i < count; ++i)
        ready += items[i].events != 0 ? 1 : 0;
    return ready;
}

} // namespace

bool os_input_open(const cmdkit_process *process) {
    return process->pipes[input_side] >= 0;
}

// A pass that finds events without a wait still polls with a limit of 0,
// so that every item ready now is reported.  A poll that finds only a
// command's end, not yet the pipeline's, goes on with what is left of the
// limit: no wait comes back empty before it.
int os_poll(cmdkit_poll_item *items, size_t count, long timeout_ms, os_handle extra,
            bool *extra_ready) {
    const int64_t start = now_ms();
    watch_list list(poll_room(items, count) + 1);
    bool extra_seen = false;
    for (;;) {
        int64_t remaining = -1;
        if (timeout_ms >= 0)
            remaining = std::max<int64_t>(0, timeout_ms - (now_ms() - start));
        list.clear();
        if (extra != no_handle)
            list.add(static_cast<int>(extra), POLLIN, {extra_target, 0, -1});
        bool stepping = false;
        const int ready = look_without_waiting(items, count, list, stepping);
        int64_t limit = ready > 0 ? 0 : remaining;
        if (stepping && (limit < 0 || limit > step_without_pidfd_ms))
            limit = step_without_pidfd_ms;
        const int found = poll(list.descriptors(), list.count(), remaining_limit(limit));
        if (found < 0 && errno != EINTR)
            return -1;
        if (found > 0 || stepping)
            take_events(items, count, list, stepping, extra_seen);
        if (extra_ready != nullptr)
            *extra_ready = extra_seen;
        const int with_events = items_with_events(items, count);
        if (with_events > 0 || extra_seen || remaining == 0)
            return with_events;
    }
}

int os_pollables(const cmdkit_process *process, cmdkit_pollable *list, size_t room) {
    int count = 0;
    const auto add = [&](int descriptor, unsigned events, int writable) {
        if (static_cast<size_t>(count) < room)
            list[count] = cmdkit_pollable{descriptor, events, writable};
        ++count;
    };
    if (process->pipes[input_side] >= 0)
        add(process->pipes[input_side], CMDKIT_EVENT_INPUT, 1);
    for (stream_side side : {output_side, errors_side}) {
        if (process->pipes[side] >= 0 && !process->ended[side])
            add(process->pipes[side],
                side == output_side ? CMDKIT_EVENT_OUTPUT : CMDKIT_EVENT_ERRORS, 0);
    }
    auto *shared = const_cast<cmdkit_process *>(process);
    locked guard(shared);
    for (int i = 0; i < process->count; ++i) {
        if (!runs(process, i))
            continue;
        if (process->commands[i].pidfd < 0) {
            errno = ENOSYS;
            return -1;
        }
        add(process->commands[i].pidfd, CMDKIT_EVENT_ENDED, 0);
    }
    return count;
}

unsigned os_processor_count() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
}

// Signal 0 sends nothing, as kill(2) checks; glibc's sigaddset refuses the
// numbers that are no signal, its own internal ones included.
int os_signal(cmdkit_process *process, int number) {
    sigset_t probe;
    sigemptyset(&probe);
    if (number < 0 || (number != 0 && sigaddset(&probe, number) != 0)) {
        errno = EINVAL;
        return -1;
    }
    if (number != 0)
        signal_pipeline(process, number, false);
    return 0;
}

} // namespace cmdkit::internal
