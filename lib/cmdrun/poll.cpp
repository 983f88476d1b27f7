// cmdkit_poll, cmdkit_pollables and cmdkit_signal: the arguments checked
// here, the waiting done by each system's half.
#include "cmdrun.h"
#include "cmdrun_internal.h"

#include <cerrno>

using namespace cmdkit::internal;

namespace {

constexpr unsigned known_events =
    CMDKIT_EVENT_OUTPUT | CMDKIT_EVENT_ERRORS | CMDKIT_EVENT_INPUT | CMDKIT_EVENT_ENDED;

// An interest in a side the process has no pipe for could never be met.
bool item_acceptable(const cmdkit_poll_item &item) {
    const unsigned interests = item.interests;
    const cmdkit_process *process = item.process;
    return (interests & ~known_events) == 0 &&
           ((interests & CMDKIT_EVENT_OUTPUT) == 0 || os_has_pipe(process, output_side)) &&
           ((interests & CMDKIT_EVENT_ERRORS) == 0 || os_has_pipe(process, errors_side)) &&
           ((interests & CMDKIT_EVENT_INPUT) == 0 || os_input_open(process));
}

} // namespace

namespace cmdkit::internal {

// A handle for each side asked about, and one for each command of a
// pipeline whose end is.
size_t poll_room(const cmdkit_poll_item *items, size_t count) {
    size_t room = 0;
    for (size_t i = 0; i < count; ++i) {
        if (items[i].process == nullptr)
            continue;
        const unsigned interests = items[i].interests;
        room += ((interests & CMDKIT_EVENT_OUTPUT) != 0) +
                ((interests & CMDKIT_EVENT_ERRORS) != 0) + ((interests & CMDKIT_EVENT_INPUT) != 0);
        int commands = 0;
        os_states(items[i].process, commands);
        room += (interests & CMDKIT_EVENT_ENDED) != 0 ? static_cast<size_t>(commands) : 0;
    }
    return room;
}

} // namespace cmdkit::internal

// Every item is checked before anything is waited on.
extern "C" int cmdkit_poll(cmdkit_poll_item *items, size_t count, long timeout_ms) {
    if (items == nullptr && count > 0) {
        errno = EINVAL;
        return -1;
    }
    bool acceptable = timeout_ms >= -1;
    for (size_t i = 0; i < count; ++i) {
        items[i].events = 0;
        acceptable = acceptable && (items[i].process == nullptr || item_acceptable(items[i]));
    }
    if (!acceptable) {
        errno = EINVAL;
        return -1;
    }
    return count == 0 ? 0 : os_poll(items, count, timeout_ms);
}

extern "C" int cmdkit_pollables(const cmdkit_process *process, cmdkit_pollable *list, size_t room) {
    if (process == nullptr || (list == nullptr && room > 0)) {
        errno = EINVAL;
        return -1;
    }
    return os_pollables(process, list, room);
}

extern "C" int cmdkit_signal(cmdkit_process *process, int number) {
    if (process == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return os_signal(process, number);
}
