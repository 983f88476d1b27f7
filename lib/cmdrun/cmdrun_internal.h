// The start module's parts: the portable orchestration in start.cpp and
// run.cpp, and the per-system half (cmdrun_posix.cpp, cmdrun_win32.cpp)
// behind the os_ functions below.
#ifndef CMDKIT_CMDRUN_INTERNAL_H
#define CMDKIT_CMDRUN_INTERNAL_H

#include "cmdline_internal.h"
#include "cmdrun.h"

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

namespace cmdkit::internal {

// A descriptor on POSIX, a HANDLE on Windows; -1 when there is none.
using os_handle = intptr_t;
constexpr os_handle no_handle = -1;

// What went wrong, for the failure report, with its one message: cut to
// fit the report, and whole for the trace sink.
struct start_failure {
    int stage = 0;
    int index = -1;
    int error = 0;
    unsigned long system_error = 0;
    char message[256] = {};
    text_buffer whole;

    start_failure() = default;
    ~start_failure() { text_release(whole); }
    start_failure(const start_failure &) = delete;
    start_failure &operator=(const start_failure &) = delete;
};

// Records a failure with its one message, made of the pieces in order.
void fail(start_failure &failure, int stage, int index, int error, unsigned long system_error,
          const char *const *pieces, size_t count);
// The same with the message as one text of `length` bytes.
void fail_with_text(start_failure &failure, int stage, int index, int error,
                    unsigned long system_error, const char *text, size_t length);
// A failure's message to the trace sink, once, ending with a line feed:
// for a caller who gave no report (`reported` false) or asked for the
// traces, unless the traces passed it already (a parser's refusal).
void say_failure(const start_failure &failure, bool reported, bool tracing);

// The longest start of `text` (`length` bytes) of at most `limit` bytes
// that splits no UTF-8 sequence; other bytes count one each.
size_t utf8_prefix_length(const char *text, size_t length, size_t limit);

// The caller's options as a struct of this version: earlier sizes take the
// later members' defaults.  False (the copy untouched) for a size this
// version does not know.
bool read_start_options(const cmdkit_start_options *given, cmdkit_start_options &options);

// Which standard stream of the pipeline the caller reads or writes.
enum stream_side { input_side = 0, output_side = 1, errors_side = 2 };

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
    // The commands' environment: the caller's given one, or the changes
    // applied (`merged`, its own strings in `owned`), or null for ours.
    const char *const *environment = nullptr;
    const char **merged = nullptr;
    char **owned = nullptr;
    cmdkit_stream streams[3] = {};           // input, output, errors as asked
    const intptr_t *extra_handles = nullptr; // the caller's, for every command
    size_t extra_count = 0;
    bool contained = false; // a capture: a group, or a job, or no start
    prepared_command *commands = nullptr;
    int count = 0;
};

// The standard handles of one command, and the extra ones every command
// gets; borrowed, never closed by the start.
struct command_streams {
    os_handle input = no_handle;
    os_handle output = no_handle;
    os_handle errors = no_handle;
    const os_handle *extras = nullptr;
    size_t extra_count = 0;
};

// How each command ended, as far as cmdkit has seen.
struct command_state {
    cmdkit_exit exit{CMDKIT_EXIT_RUNNING, 0};
    bool kill_requested = false; // still running when cmdkit_kill came
};

// cmdkit_start with options of this version (`contained` for a capture)
// and the failure as a struct of this version; and the copy of it into the
// caller's report (false when the report's size is unknown).
int start_pipeline(const cmdkit_pipeline *pipeline, const cmdkit_start_options &options,
                   bool contained, cmdkit_process **process, start_failure &failure);
bool report_failure(cmdkit_failure *report, const start_failure &failure);
bool report_known(const cmdkit_failure *report);

// Refuses a request: stage REQUEST, EINVAL, "Refused: " and `what`.
bool refuse_request(start_failure &failure, const char *what);

// The exit cmdkit_run reports: the last command's, or with `pipefail` the
// rightmost that did not end EXITED 0.
cmdkit_exit reported_exit(const cmdkit_process *process, bool pipefail);

// cmdkit_stop for checked arguments.
int stop_pipeline(cmdkit_process *process, long grace_ms);

// Records that a wait failed (stage SYSTEM) with errno's reason.
void fail_wait(start_failure &failure, int index);

// Refuses options this version does not know, saying why: a size of 0
// (a struct not started from CMDKIT_START_OPTIONS_INIT) or another.
void refuse_options(start_failure &failure, const cmdkit_start_options *options);

// Runs `body(settled options, held traces, failure)` with options and a
// failure of this version, the traces held unless CMDKIT_START_TRACE asks
// for them, and copies the failure out: the frame of every public start,
// run and capture, and the one place that decides whether the sink hears
// of a failure.  A report or options of a size this version does not know
// are refused.
template <typename Body>
int reporting(const cmdkit_start_options *options, cmdkit_failure *report, Body body) {
    start_failure outcome;
    cmdkit_start_options settled;
    const bool known = read_start_options(options, settled);
    const bool tracing = known && (settled.flags & CMDKIT_START_TRACE) != 0;
    held_traces held(tracing);
    int result = -1;
    if (!report_known(report))
        refuse_request(outcome, "a failure report this version does not know");
    else if (!known)
        refuse_options(outcome, options);
    else
        result = body(settled, held, outcome);
    const int error = errno;
    if (result < 0)
        say_failure(outcome, report != nullptr && report_known(report), tracing);
    report_failure(report, outcome);
    errno = error;
    return result;
}

// Parses the line of a run or capture into `pipeline`; on a refusal the
// failure (stage PARSE) carries the parser's message, which `held` kept.
bool parse_for_start(const char *line, cmdkit_pipeline &pipeline, const held_traces &held,
                     start_failure &failure);

// The pipeline of the one command `argv` (only read) in `pipeline`, which
// the caller made from CMDKIT_PIPELINE_INIT, its list in `list`; false,
// the failure filled, for a null or empty vector.
bool one_command_pipeline(const char *const *argv, char **list[2], cmdkit_pipeline &pipeline,
                          start_failure &failure);

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

// A given environment, or the changes to one, as the request may hold
// them: false, the failure filled, for an entry without a name, one the
// system would not take, or two of one name.
bool check_environment(const char *const *environment, start_failure &failure);
bool check_changes(const char *const *changes, start_failure &failure);
// The commands' environment into `plan`: the given one, or the caller's,
// with the changes applied in order.
void merge_environment(const cmdkit_start_options &options, start_plan &plan);
// The value of an environment's entry `name`, by the system's rule for
// names, or null.
const char *value_in(const char *const *environment, const char *name);
// True when the environment (null: the caller's) holds a CD entry.
bool holds_cd_entry(const char *const *environment);

// ---- the per-system half ----

// True on Windows, where every command gets a composed line and batch
// files run through cmd.exe.
extern const bool os_composes_lines;

// Milliseconds on a clock that never goes back.
int64_t os_now_ms();

// `milliseconds` after `now` on that clock, or its end when the sum would
// pass it.
inline int64_t later_by(int64_t now, long milliseconds) {
    return milliseconds > INT64_MAX - now ? INT64_MAX : now + milliseconds;
}

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

// Names made once into the form the system compares, so that a sort of
// many compares them without converting: the bytes themselves on POSIX,
// UTF-16 on Windows (`valid` false for a name that is not WTF-8).
struct name_key {
    const void *units = nullptr;
    size_t length = 0;
    bool valid = true;
};
// Fills `keys` for the `count` names, `names[i]` of `lengths[i]` bytes, and
// returns the storage they point into, for the caller to free.
void *os_name_keys(const char *const *names, const size_t *lengths, size_t count, name_key *keys);
// Orders two keys as os_compare_names orders their names.
int os_compare_keys(const name_key &a, const name_key &b);

// Refuses (false, failure filled) what the system would not take of a
// given environment: on Windows an entry that is not WTF-8.
bool os_check_environment(const char *const *environment, start_failure &failure);

// The caller's environment as "NAME=value" entries ending with null: on
// POSIX `environ` itself (`owned` false), on Windows a WTF-8 copy of the
// wide one (`owned` true: free each entry and the list).
char **os_caller_environment(bool &owned);

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
// A pipe the caller reads (output, errors) or writes (input), whose own
// end can be waited on with a time limit: on POSIX an ordinary pipe whose
// own end does not block, on Windows an overlapped named pipe.
bool os_make_caller_pipe(stream_side side, os_handle &own_end, os_handle &command_end,
                         unsigned long &system_error);
// The process keeps (and closes) its end of the pipe of `side`.
void os_keep_pipe(cmdkit_process *process, stream_side side, os_handle own_end);
// True when the pipe of `side` was asked for (the output one even where a
// `>` target won, its reads then ending at once).
bool os_has_pipe(const cmdkit_process *process, stream_side side);
// cmdkit_read_output and cmdkit_read_errors for checked arguments.
ptrdiff_t os_read_pipe(cmdkit_process *process, stream_side side, char *buffer, size_t size,
                       long timeout_ms);
// The same once a wait has said the pipe is ready: a read without another
// wait, which comes back with ETIMEDOUT when there was nothing after all.
ptrdiff_t os_read_ready_pipe(cmdkit_process *process, stream_side side, char *buffer, size_t size);
// True when the read pipe of `side` has given its end.
bool os_pipe_ended(const cmdkit_process *process, stream_side side);
// The side cmdkit_read_ready read last, which yields to the other on a tie.
stream_side &os_last_ready(cmdkit_process *process);
// Waits until the input pipe takes data (with `want_input`) or the output
// or errors pipe has data or its end, at most `timeout_ms`: the sides
// ready as bits 1 << side, 0 when time ran out or nothing is left to wait
// for, -1 with errno on a failure.
int os_wait_pipes(cmdkit_process *process, bool want_input, long timeout_ms);
// Asks for a larger pipe, where the system has them, for a command that
// writes a lot; nothing happens where it cannot be had.
void os_enlarge_pipe(cmdkit_process *process, stream_side side);
// cmdkit_write_input and cmdkit_close_input for checked arguments.
ptrdiff_t os_write_input(cmdkit_process *process, const char *data, size_t size, long timeout_ms);
void os_close_input(cmdkit_process *process);

// The names an exit is told by: a signal's (SIGTERM) on POSIX, an
// exception code's (access violation) on Windows; null when there is none.
const char *os_signal_name(unsigned long number);
const char *os_exit_code_name(unsigned long code);
// True where an exit code reads best in hex: Windows' exception codes.
bool os_exit_code_in_hex(unsigned long code);

// A caller's handle for a stream: 0 when it is one the commands can have,
// else the errno to refuse it with (EBADF: not open; EINVAL: a Windows
// pseudo-handle).
int os_check_handle(intptr_t handle);
// A copy of it for the start to close; false with errno when it fails.
bool os_copy_handle(intptr_t handle, os_handle &copy, unsigned long &system_error);
// An extra handle of the caller's for every command: 0 when it can be
// handed on, else the errno to refuse it with and `why` in words (EBADF:
// not open, or a pseudo-handle; EINVAL: on Windows, not inheritable).
int os_check_extra_handle(intptr_t handle, const char *&why);
// What the commands are given for the extra handles: on POSIX copies above
// every number they take (`owned`, for the start to close), on Windows the
// caller's own; false with errno when a copy fails.
bool os_extra_handles(const start_plan &plan, os_handle *handles, bool &owned,
                      unsigned long &system_error);

// Which of the caller's standard streams 0-2 are open, in one look.
void os_caller_streams(bool open[3]);
// The caller's open standard stream `which` for a command: on POSIX the
// descriptor itself (`owned` false), on Windows a copy for the start to
// close; no_handle when it turns out closed; false, with errno and
// `system_error`, when it could not be copied.
bool os_caller_stream(int which, os_handle &stream, bool &owned, unsigned long &system_error);
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
// Kills what runs (cmdkit_kill); true when a command was still running.
bool os_kill(cmdkit_process *process);
// Asks what runs to end (SIGTERM); false where no such request exists.
bool os_terminate(cmdkit_process *process);
const command_state *os_states(const cmdkit_process *process, int &count);
bool os_contained(const cmdkit_process *process);

// ---- many at once ----

// The most handles one poll of these items can watch.
size_t poll_room(const cmdkit_poll_item *items, size_t count);
// True while the input pipe can be written: asked for and not closed.
bool os_input_open(const cmdkit_process *process);
// cmdkit_poll, cmdkit_pollables and cmdkit_signal for checked arguments.
// `extra`, when given, is a handle watched in the same wait (readable on
// POSIX, signalled on Windows), never read or reset: `extra_ready` says it
// was ready, and the poll then returns even with no item's event.
int os_poll(cmdkit_poll_item *items, size_t count, long timeout_ms, os_handle extra = no_handle,
            bool *extra_ready = nullptr);
int os_pollables(const cmdkit_process *process, cmdkit_pollable *list, size_t room);
int os_signal(cmdkit_process *process, int number);
// The processors the system gives this process, at least 1.
unsigned os_processor_count();

} // namespace cmdkit::internal

#endif
