// The start module's parts: the portable orchestration in start.cpp and
// run.cpp, and the per-system half (cmdrun_posix.cpp, cmdrun_win32.cpp)
// behind the os_ functions below.
#ifndef CMDKIT_CMDRUN_INTERNAL_H
#define CMDKIT_CMDRUN_INTERNAL_H

#include "cmdrun.h"

#include <stddef.h>
#include <stdint.h>

namespace cmdkit::internal {

// A descriptor on POSIX, a HANDLE on Windows; -1 when there is none.
using os_handle = intptr_t;
constexpr os_handle no_handle = -1;

// What went wrong, for the failure report; the message goes to the trace
// sink where it is recorded.
struct start_failure {
    int stage = 0;
    int index = -1;
    int error = 0;
    unsigned long system_error = 0;
};

// Records a failure with its one message, made of the pieces in order.
void fail(start_failure &failure, int stage, int index, int error, unsigned long system_error,
          const char *const *pieces, size_t count);

// One command, ready to start.
struct prepared_command {
    char **argv = nullptr;       // the caller's vector, entry 0 as given
    char *program = nullptr;     // the absolute path found
    char *application = nullptr; // Windows: what runs (the program, or cmd.exe)
    char *line = nullptr;        // Windows: its composed command line
};

// Everything a start needs once the request has been checked.
struct start_plan {
    const cmdkit_pipeline *pipeline = nullptr;
    unsigned flags = 0;
    char *directory = nullptr; // absolute, or null for the caller's
    const char *const *environment = nullptr;
    prepared_command *commands = nullptr;
    int count = 0;
};

// The standard handles of one command; borrowed, never closed by the start.
struct command_streams {
    os_handle input = no_handle;
    os_handle output = no_handle;
    os_handle errors = no_handle;
};

// How each command ended, as far as cmdkit has seen.
struct command_state {
    cmdkit_exit exit{CMDKIT_EXIT_RUNNING, 0};
    bool kill_requested = false; // still running when cmdkit_kill came
};

// cmdkit_start with the failure as a struct of this version; and the copy
// of it into the caller's report (false when the report's size is unknown).
int start_pipeline(const cmdkit_pipeline *pipeline, const cmdkit_start_options *options,
                   cmdkit_process **process, start_failure &failure);
bool report_failure(cmdkit_failure *report, const start_failure &failure);

// Records that a command ended: EXITED or SIGNALED, or KILLED when
// cmdkit_kill found it running.
void record_end(command_state &state, bool signaled, unsigned long code);

// The handle list of one Windows start: the distinct handles among a
// command's three, none of them NULL or a pseudo-handle, and which entry
// each standard handle uses.  Absent ones (NULL, INVALID_HANDLE_VALUE and
// the other pseudo-handle values) take `null_device`.  Pure, so that a table
// can check it on every host.
struct handle_list {
    uintptr_t handles[3] = {};
    size_t count = 0;
    size_t slot[3] = {};
};
bool is_absent_handle_value(uintptr_t value);
handle_list build_handle_list(const uintptr_t standard[3], uintptr_t null_device);

// Windows errors as errno values, by one table close to the C runtime's.
int errno_of_windows_error(unsigned long error);

// The name of an environment entry: up to the first `=` after its first
// character; 0 when the entry has an empty name or no `=`.
size_t environment_name_length(const char *entry);

// ---- the per-system half ----

// True on Windows, where every command gets a composed line and batch
// files run through cmd.exe.
extern const bool os_composes_lines;

// `path` made absolute against the current directory (a new string), or
// null with errno.
char *os_absolute_path(const char *path, unsigned long &system_error);

// True when a PATH entry is relative to the current directory.
bool os_is_relative(const char *entry);

// Orders environment names `a` and `b` (of these lengths) as the system
// tells them apart: ordinally without regard to case on Windows (a name
// that is not WTF-8 after any that is), byte for byte on POSIX; 0 when they
// are the same name.
int os_compare_names(const char *a, size_t a_length, const char *b, size_t b_length);

// Refuses (false, failure filled) what the system would not take of a
// given environment: on Windows an entry that is not WTF-8.
bool os_check_environment(const char *const *environment, start_failure &failure);

// The full path of the system directory's cmd.exe (Windows; a new string).
char *os_interpreter_path();

// `directory` exists and is a directory the commands can run in.
bool os_check_directory(const char *directory, start_failure &failure);

// Opens a target: `kind` 0 for `<`, 1 for `>`, 2 for `>>`; relative names
// in `directory` when given.  The handle is not inherited by anything.
bool os_open_target(const char *name, const char *directory, int kind, os_handle &handle,
                    unsigned long &system_error);
bool os_open_null_device(os_handle &handle, unsigned long &system_error);
bool os_make_pipe(os_handle &read_end, os_handle &write_end, unsigned long &system_error);
// The capture pipe: an ordinary one on POSIX, on Windows a named pipe whose
// reading end can be waited on with a time limit.
bool os_make_capture(os_handle &read_end, os_handle &write_end, unsigned long &system_error);
// The process keeps (and closes) the reading end.
void os_keep_capture(cmdkit_process *process, os_handle read_end);
// cmdkit_read_output for a process and checked arguments.
ptrdiff_t os_read_output(cmdkit_process *process, char *buffer, size_t size, long timeout_ms);
bool os_captures(const cmdkit_process *process);

// A copy of the caller's standard stream 0, 1 or 2 for the start to close,
// or no_handle when the caller has closed it; false, with errno and
// `system_error`, when an open stream could not be copied.
bool os_caller_stream(int which, os_handle &copy, unsigned long &system_error);
void os_close(os_handle handle);

// The running pipeline (struct cmdkit_process) is defined by each system's
// half around the bookkeeping below.
cmdkit_process *os_new_process(const start_plan &plan);
// Starts command `index`; on failure fills `failure` (its message too).
bool os_start_command(cmdkit_process *process, const start_plan &plan, int index,
                      const command_streams &streams, start_failure &failure);
// Kills what runs, reaps and releases everything: the roll-back and the free.
void os_free_process(cmdkit_process *process);
// cmdkit_wait with a checked time limit; `failed_index` names the command
// whose wait failed.
int os_wait(cmdkit_process *process, long timeout_ms, int &failed_index);
void os_kill(cmdkit_process *process);
const command_state *os_states(const cmdkit_process *process, int &count);
bool os_contained(const cmdkit_process *process);

} // namespace cmdkit::internal

#endif
