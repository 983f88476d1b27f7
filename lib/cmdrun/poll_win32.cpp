// Many pipelines at once on Windows: cmdkit_poll waits on the events of the
// pipes and the commands' process handles of every pipeline it is given, in
// one WaitForMultipleObjects while there are 64 or fewer, and through the
// system thread pool's waits beyond; cmdkit_pollables hands the same
// handles to an outside event loop.
#include "cmdrun_internal.h"
#include "process_win32.h"
#include "xalloc_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace cmdkit::internal {

namespace {

// What one watched handle stands for: an item's pipe, or its commands.
struct watch_target {
    size_t item;
    unsigned event;
};

class watch_list {
  public:
    explicit watch_list(size_t room)
        : handles_(static_cast<HANDLE *>(checked_malloc(room * sizeof(HANDLE)))),
          targets_(static_cast<watch_target *>(checked_malloc(room * sizeof(watch_target)))) {}
    ~watch_list() {
        std::free(handles_);
        std::free(targets_);
    }
    watch_list(const watch_list &) = delete;
    watch_list &operator=(const watch_list &) = delete;

    void add(HANDLE handle, watch_target target) {
        handles_[count_] = handle;
        targets_[count_++] = target;
    }
    void clear() { count_ = 0; }
    HANDLE *handles() { return handles_; }
    DWORD count() const { return count_; }
    bool ready(DWORD i) const { return WaitForSingleObject(handles_[i], 0) == WAIT_OBJECT_0; }
    const watch_target &target(DWORD i) const { return targets_[i]; }

  private:
    HANDLE *handles_;
    watch_target *targets_;
    DWORD count_ = 0;
};

bool runs(const cmdkit_process *process, int index) {
    return process->handles[index] != nullptr &&
           process->states[index].exit.state == CMDKIT_EXIT_RUNNING;
}

// A read pipe with something to take, its end, or its failure, is ready;
// otherwise its read is issued and its event watched.
bool read_side_ready(pipe_reader &reader) {
    if (reader.pipe == nullptr || reader.ended || reader.failure != 0 || reader.begin < reader.end)
        return true;
    start_read(reader);
    if (reader.pending && WaitForSingleObject(reader.event, 0) == WAIT_OBJECT_0)
        complete_read(reader);
    return !reader.pending;
}

bool all_ended(cmdkit_process *process) {
    locked guard(process);
    collect(process);
    for (int i = 0; i < process->count; ++i) {
        if (runs(process, i))
            return false;
    }
    return true;
}

unsigned watch_item(cmdkit_poll_item &item, size_t index, watch_list &list) {
    cmdkit_process *process = item.process;
    unsigned events = 0;
    for (stream_side side : {output_side, errors_side}) {
        const unsigned event = side == output_side ? CMDKIT_EVENT_OUTPUT : CMDKIT_EVENT_ERRORS;
        if ((item.interests & event) == 0)
            continue;
        if (read_side_ready(process->readers[side]))
            events |= event;
        else
            list.add(process->readers[side].event, {index, event});
    }
    if ((item.interests & CMDKIT_EVENT_INPUT) != 0) {
        if (!process->input.pending || settle_write(process->input, 0))
            events |= CMDKIT_EVENT_INPUT;
        else
            list.add(process->input.event, {index, CMDKIT_EVENT_INPUT});
    }
    if ((item.interests & CMDKIT_EVENT_ENDED) != 0) {
        if (all_ended(process)) {
            events |= CMDKIT_EVENT_ENDED;
        } else {
            for (int i = 0; i < process->count; ++i) {
                if (runs(process, i))
                    list.add(process->handles[i], {index, CMDKIT_EVENT_ENDED});
            }
        }
    }
    return events;
}

VOID CALLBACK wake(PVOID event, BOOLEAN) {
    SetEvent(static_cast<HANDLE>(event));
}

// Beyond what one WaitForMultipleObjects takes, every handle gets a wait of
// the system's thread pool, which sets one event; each is unregistered,
// its callback done, before this returns.
DWORD wait_on_many(HANDLE *handles, DWORD count, DWORD limit) {
    HANDLE woken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (woken == nullptr)
        return WAIT_FAILED;
    auto *waits = static_cast<HANDLE *>(checked_malloc(count * sizeof(HANDLE)));
    DWORD registered = 0;
    for (; registered < count; ++registered) {
        if (!RegisterWaitForSingleObject(&waits[registered], handles[registered], wake, woken,
                                         INFINITE, WT_EXECUTEONLYONCE))
            break;
    }
    const DWORD waited =
        registered == count ? WaitForSingleObject(woken, limit) : static_cast<DWORD>(WAIT_FAILED);
    for (DWORD i = 0; i < registered; ++i)
        UnregisterWaitEx(waits[i], INVALID_HANDLE_VALUE);
    std::free(waits);
    CloseHandle(woken);
    return waited;
}

DWORD wait_on(watch_list &list, DWORD limit) {
    if (list.count() == 0) { // nothing to wait on: the limit passes, as poll(2)'s does
        SleepEx(limit, FALSE);
        return WAIT_TIMEOUT;
    }
    if (list.count() <= MAXIMUM_WAIT_OBJECTS)
        return WaitForMultipleObjects(list.count(), list.handles(), FALSE, limit);
    return wait_on_many(list.handles(), list.count(), limit);
}

// The target of the extra handle, which stands for no item.
constexpr size_t extra_target = static_cast<size_t>(-1);

// A pipe event that is set completes its read or write; a command's handle
// that is set may end its pipeline.
void take_events(cmdkit_poll_item *items, const watch_list &list, bool &extra_ready) {
    for (DWORD i = 0; i < list.count(); ++i) {
        const watch_target &target = list.target(i);
        if (target.item == extra_target) {
            extra_ready = list.ready(i);
            continue;
        }
        cmdkit_poll_item &item = items[target.item];
        if ((item.events & target.event) != 0 || !list.ready(i))
            continue;
        cmdkit_process *process = item.process;
        if (target.event == CMDKIT_EVENT_ENDED) {
            item.events |= all_ended(process) ? CMDKIT_EVENT_ENDED : 0u;
        } else if (target.event == CMDKIT_EVENT_INPUT) {
            settle_write(process->input, 0);
            item.events |= CMDKIT_EVENT_INPUT;
        } else {
            complete_read(
                process->readers[target.event == CMDKIT_EVENT_OUTPUT ? output_side : errors_side]);
            item.events |= target.event;
        }
    }
}

} // namespace

bool os_input_open(const cmdkit_process *process) {
    return process->input.pipe != nullptr && !process->input.closing;
}

// As on POSIX: a pass that finds events looks at the rest without a wait,
// and one woken by a command that ends before its pipeline goes on with
// what is left of the limit.
int os_poll(cmdkit_poll_item *items, size_t count, long timeout_ms, os_handle extra,
            bool *extra_ready) {
    const ULONGLONG start = GetTickCount64();
    watch_list list(poll_room(items, count) + 1);
    bool extra_seen = false;
    for (;;) {
        const DWORD remaining = time_left(start, timeout_ms);
        list.clear();
        if (extra != no_handle)
            list.add(reinterpret_cast<HANDLE>(extra), {extra_target, 0});
        int ready = 0;
        for (size_t i = 0; i < count; ++i) {
            items[i].events = items[i].process != nullptr ? watch_item(items[i], i, list) : 0u;
            ready += items[i].events != 0 ? 1 : 0;
        }
        if (ready == 0 && wait_on(list, remaining) == WAIT_FAILED) {
            errno = errno_of_windows_error(GetLastError());
            return -1;
        }
        take_events(items, list, extra_seen);
        if (extra_ready != nullptr)
            *extra_ready = extra_seen;
        int with_events = 0;
        for (size_t i = 0; i < count; ++i)
            with_events += items[i].events != 0 ? 1 : 0;
        if (with_events > 0 || extra_seen || remaining == 0)
            return with_events;
    }
}

// Each read is issued first, so that its event is set exactly while there
// is something to take.
int os_pollables(const cmdkit_process *process, cmdkit_pollable *list, size_t room) {
    auto *shared = const_cast<cmdkit_process *>(process);
    int count = 0;
    const auto add = [&](HANDLE handle, unsigned events) {
        if (static_cast<size_t>(count) < room)
            list[count] = cmdkit_pollable{reinterpret_cast<intptr_t>(handle), events, 0};
        ++count;
    };
    if (os_input_open(process))
        add(process->input.event, CMDKIT_EVENT_INPUT);
    for (stream_side side : {output_side, errors_side}) {
        pipe_reader &reader = shared->readers[side];
        if (reader.pipe == nullptr || os_pipe_ended(process, side))
            continue;
        start_read(reader);
        add(reader.event, side == output_side ? CMDKIT_EVENT_OUTPUT : CMDKIT_EVENT_ERRORS);
    }
    locked guard(shared);
    collect(shared);
    for (int i = 0; i < process->count; ++i) {
        if (runs(process, i))
            add(process->handles[i], CMDKIT_EVENT_ENDED);
    }
    return count;
}

unsigned os_processor_count() {
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? static_cast<unsigned>(count) : 1u;
}

// No signal exists that every Windows program honours.
int os_signal(cmdkit_process *, int) {
    errno = ENOTSUP;
    return -1;
}

} // namespace cmdkit::internal
