// The Windows half's running pipeline, shared by the file that starts and
// waits for it (cmdrun_win32.cpp) and the one that polls many at once
// (poll_win32.cpp).
#ifndef CMDKIT_PROCESS_WIN32_H
#define CMDKIT_PROCESS_WIN32_H

#include "cmdrun_internal.h"

#include <windows.h>

namespace cmdkit::internal {

// Each pipe the caller reads keeps one overlapped read pending into a
// buffer of its own, which a later call takes from: a read is never
// cancelled, so nothing that arrives is lost, and one wait covers both
// pipes.
constexpr DWORD pipe_buffer_size = 65536;

struct pipe_reader {
    HANDLE pipe = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    char *buffer = nullptr;
    DWORD begin = 0; // what arrived and is not yet taken: [begin, end)
    DWORD end = 0;
    bool pending = false;
    bool ended = false;
    DWORD failure = 0; // a read that failed otherwise than by the end
};

// The input pipe takes a copy of what the caller writes and writes it
// overlapped; the next write waits for that one.  A close while one is
// pending is left to the system's thread pool, which closes the pipe once
// the write is done, so that nothing written is lost and the close does
// not wait for the command to read.
struct pipe_writer {
    HANDLE pipe = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    char *buffer = nullptr;
    bool pending = false;
    bool broken = false; // the reader has gone
    bool closing = false;
    HANDLE wait = nullptr;         // the thread pool's wait, for a close
    volatile LONG closed_late = 0; // the pool has closed the pipe
};

} // namespace cmdkit::internal

struct cmdkit_process {
    int count = 0;
    cmdkit::internal::command_state *states = nullptr;
    HANDLE *handles = nullptr; // one per command, null until started
    HANDLE job = nullptr;
    bool job_tried = false;
    bool job_required = false; // a capture: no start without a job
    DWORD creation_flags = 0;
    wchar_t *environment = nullptr; // the sorted block, or null for the caller's
    bool pipe_asked[3] = {false, false, false};
    cmdkit::internal::pipe_writer input;
    cmdkit::internal::pipe_reader readers[3]; // output and errors; 0 unused
    cmdkit::internal::stream_side last_ready = cmdkit::internal::errors_side;
    CRITICAL_SECTION lock;
};

namespace cmdkit::internal {

struct locked {
    explicit locked(cmdkit_process *process) : process_(process) {
        EnterCriticalSection(&process_->lock);
    }
    ~locked() { LeaveCriticalSection(&process_->lock); }
    cmdkit_process *process_;
};

// Sees, without waiting, which commands have ended.
void collect(cmdkit_process *process);

// Milliseconds left of `timeout_ms` (-1: none) since `start`, for a wait.
DWORD time_left(ULONGLONG start, long timeout_ms);

bool is_broken_pipe(DWORD error);

// Issues the pending read unless one is pending, data is held or the pipe
// has ended; takes the result of one whose event is set.
void start_read(pipe_reader &reader);
void complete_read(pipe_reader &reader);

// Waits at most `limit` for the pending write; false when it is still
// pending.  A write that failed marks the pipe broken.
bool settle_write(pipe_writer &writer, DWORD limit);

} // namespace cmdkit::internal

#endif
