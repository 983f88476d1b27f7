/*
 * cmdrun: start a parsed pipeline, or one built from data, with no command
 * interpreter in between: every program found as the lookup finds it, every
 * argument composed exactly (batch files through argv_to_batch_cmdline),
 * the commands joined by pipes, `<` and `>`/`>>` opened by cmdkit, no
 * handle or descriptor leaking into a command, and no child left unreaped.
 *
 * Never build a line out of data in order to run it: fill a cmdkit_pipeline
 * yourself instead, and no character of the data can become an operator.
 *
 * Return values: the functions that act return 0 on success and -1 with
 * errno on failure; where time can run out, 1 says so.  The reads and
 * writes return a count of bytes (0 for the end of a read pipe), and
 * cmdkit_poll and cmdkit_pollables a count of items or handles (0: none
 * ready, or none to watch), each -1 with errno on failure.  cmdkit_run_all
 * returns 0 when every job ran to its end and exited 0, 1 otherwise, -1 for
 * a request it refuses.  A `failure` pointer
 * may be null; when given (its `size` set by the caller) it is filled on
 * every -1, and its `stage` is 0 on success.  Each failure has one message,
 * naming the command (its position, counted from 1, and program name) or
 * the file.  With a report given, the start, run and capture functions
 * send the trace sink nothing when they fail: the report holds the message,
 * for the caller to say once.  With no report the sink receives the
 * message, once, ending with a line feed.  CMDKIT_START_TRACE sends the
 * parser's and the lookup's step traces to the sink, followed on failure by
 * the message (a line that does not parse: the parser's own message, which
 * is among the traces); without it a successful call sends nothing.
 *
 * Sizes: each struct the caller fills (cmdkit_pipeline,
 * cmdkit_start_options) carries its `size`.  Every size an earlier version
 * of the struct had is taken, the later members then taking their
 * defaults; so is the current sizeof, or more when every byte past it is
 * zero; any other size is refused (EINVAL).  The structs cmdkit writes
 * (cmdkit_failure, cmdkit_captured) take any size from their first
 * version's up and are written only as far as both the caller's `size` and
 * this version's reach.
 *
 * Threads: cmdkit_start, cmdkit_run and calls on distinct processes may run
 * in several threads at once, provided the trace sink is silenced or safe
 * to call concurrently, semicolon_is_separator is not changed meanwhile,
 * and on POSIX no thread changes the environment.  Each command inherits
 * only its own handles from cmdkit.  What cmdkit cannot prevent: during
 * one CreateProcessW three inheritable duplicates exist, which another
 * thread's CreateProcess without a handle list (system, _popen, other
 * libraries) can inherit; on POSIX a fork without exec elsewhere copies the
 * pipe ends.  On one process: one thread may write the input while another
 * reads the output or the errors or waits; the output and the errors may
 * be read by two threads at once; cmdkit_kill, cmdkit_stop and
 * cmdkit_signal may be called meanwhile, beside any other call.  A
 * cmdkit_poll counts, for each of its items, as a wait (ENDED) and a read
 * of each pipe it watches.  Any other pair of calls on one process is the
 * caller's to serialise.
 *
 * Children: cmdkit needs its children's statuses left to it.  A caller that
 * ignores SIGCHLD or reaps with waitpid(-1) takes them: the wait then fails
 * with ECHILD and the command's state is CMDKIT_EXIT_UNKNOWN.  On POSIX the
 * commands start with an empty signal mask and with SIGPIPE, SIGXFSZ and
 * SIGTERM at their default actions (a stop's SIGTERM reaches them even when
 * the caller ignores it); every other signal, SIGINT, SIGQUIT and SIGHUP
 * included, passes as the caller has it, ignored or not.
 *
 * Windows 8 or later; on POSIX, glibc 2.34 or later (posix_spawn with
 * closefrom and chdir file actions).
 */
#ifndef CMDRUN_H
#define CMDRUN_H

#include "cmdline.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A pipeline: commands joined by pipes, with the first one's input and the
 * last one's output redirected to files when given.  Built by
 * cmdkit_parse_pipeline, or by the caller, who then owns every member.
 */
typedef struct cmdkit_pipeline {
    size_t size;      /* sizeof (cmdkit_pipeline): start from CMDKIT_PIPELINE_INIT */
    char ***commands; /* null-terminated list of null-terminated argument vectors */
    int count;        /* number of commands */
    char *input;      /* file for the first command's standard input, or null */
    char *output;     /* file for the last command's standard output, or null */
    int append;       /* 1: output is appended to (>>); 0: created or truncated (>) */
} cmdkit_pipeline;
#define CMDKIT_PIPELINE_INIT                                                                       \
    { sizeof(cmdkit_pipeline), NULL, 0, NULL, NULL, 0 }

/*
 * Parses `line` with parse_cmdline's rules, traces and messages into
 * `*pipeline`, whose `size` the caller has set.  The targets lose their
 * quotes as arguments do (`> "my out"` names `my out`), and `append` says
 * whether the output followed `>>`.  While semicolon_is_separator is set, a
 * separator followed by anything but white space is refused: the rest
 * would silently not run.  A `<` written after the first `|` is refused:
 * the file belongs to the first command, the only one that can read it.  Returns 0, or -1 with
 * errno EINVAL and every member null or 0; a struct whose size this version does not know is
 * refused with EINVAL and left as it was.
 */
CMDKIT_API int cmdkit_parse_pipeline(const char *line, cmdkit_pipeline *pipeline);

/* Frees the members of a struct cmdkit_parse_pipeline filled and zeroes
 * them, keeping `size`; null, or a size this version does not know, does
 * nothing.  Not for structs the caller built. */
CMDKIT_API void cmdkit_clear_pipeline(cmdkit_pipeline *pipeline);

#define CMDKIT_START_NULL_INPUT 0x01u /* first command reads the null device (no `<`) */
#define CMDKIT_START_ERRORS_TO_OUTPUT                                                              \
    0x02u /* every command's standard error goes where the last one's output goes */
#define CMDKIT_START_PIPEFAIL 0x04u /* cmdkit_run reports the rightmost failing command */
/* POSIX: the pipeline in a process group of its own, which kill and free
 * then reach, descendants included.  It is not the terminal's foreground
 * group: a command reading the terminal stops (SIGTTIN) and the terminal's
 * Ctrl+C no longer reaches it; use CMDKIT_START_NULL_INPUT or a `<` file.
 * No effect on Windows, where the commands stay in the caller's console
 * process group (a new group would not get Ctrl+C). */
#define CMDKIT_START_NEW_GROUP 0x08u
/* Windows: console programs get no console window.  Without it a caller
 * with no console gives each console command a window of its own; with it
 * a caller that has a console gives its commands a hidden console of their
 * own, which its Ctrl+C no longer reaches: the flag is for callers without
 * a console. */
#define CMDKIT_START_NO_WINDOW 0x10u
/* The last command's standard output (and with ERRORS_TO_OUTPUT every
 * command's standard error) goes to a pipe the caller reads with
 * cmdkit_read_output; a `>`/`>>` target in the line wins, and the read then
 * reports the end of output at once.  Read the output to its end before
 * waiting without a limit: a full pipe blocks the last command.  Refused by
 * cmdkit_run and cmdkit_run_pipeline. */
#define CMDKIT_START_CAPTURE_OUTPUT 0x20u
/* The parser's and the lookup's step traces (`line = ...`, `look for
 * command: ...`) go to the trace sink too, as parse_cmdline and
 * look_for_cmd send them; without it a successful start sends nothing. */
#define CMDKIT_START_TRACE 0x40u

/*
 * Where a standard stream of the pipeline goes, instead of what the flags
 * and the line say.  A kind other than DEFAULT is refused together with a
 * flag or a target of the same side (NULL_INPUT or `<` for the input,
 * CAPTURE_OUTPUT or `>` for the output, ERRORS_TO_OUTPUT for the errors):
 * one request, one meaning.
 *
 * HANDLE: cmdkit gives the commands a copy of `handle` (a POSIX descriptor,
 * or a Windows HANDLE cast to intptr_t), never changes or closes the
 * caller's own, and lets nothing else be inherited.  A handle that is not
 * open is refused (stage REQUEST, EBADF, the stream named), and so are the
 * Windows pseudo-handles; a copy that fails for want of descriptors is
 * stage SYSTEM.
 */
typedef struct cmdkit_stream {
    int kind;        /* CMDKIT_STREAM_... */
    intptr_t handle; /* CMDKIT_STREAM_HANDLE: a POSIX descriptor, or a Windows HANDLE */
} cmdkit_stream;
#define CMDKIT_STREAM_DEFAULT 0 /* what the flags and the line say */
#define CMDKIT_STREAM_NULL 1    /* the null device */
#define CMDKIT_STREAM_PIPE 2    /* input: cmdkit_write_input; output, errors: read by the caller */
#define CMDKIT_STREAM_HANDLE 3  /* a copy of the caller's own; the caller keeps its own open */
#define CMDKIT_STREAM_TO_OUTPUT 4 /* errors only: where the last command's output goes */

typedef struct cmdkit_start_options {
    size_t size;                         /* sizeof (cmdkit_start_options) */
    unsigned flags;                      /* CMDKIT_START_... or 0 */
    const cmdkit_lookup_options *lookup; /* how each program is found; null: the careful default */
    const char *directory;               /* every command's current directory; null: the caller's */
    const char *const *environment; /* "NAME=value" entries ending with null; null: the caller's */
    cmdkit_stream input;            /* the first command's standard input */
    cmdkit_stream output;           /* the last command's standard output */
    cmdkit_stream errors;           /* every command's standard error */
    /* "NAME=value" sets, "NAME" removes, ending with null; applied in order
     * to `environment`, or to the caller's environment when that is null. */
    const char *const *environment_changes;
    /* The time limits of the runs and captures stop with cmdkit_stop and
     * this grace (0: kill at once; negative is refused). */
    long grace_ms;
    /* `extra_count` descriptors (POSIX) or handles (Windows) of the caller's
     * that every command gets besides the standard three (see below). */
    const intptr_t *extra_handles;
    size_t extra_count;
} cmdkit_start_options;
#define CMDKIT_START_OPTIONS_INIT                                                                  \
    {                                                                                              \
        sizeof(cmdkit_start_options), 0u, NULL, NULL, NULL, {0, 0}, {0, 0}, {0, 0}, NULL, 0L,      \
            NULL, 0                                                                                \
    }

#define CMDKIT_FAILED_PARSE 1   /* the line breaks a rule */
#define CMDKIT_FAILED_REQUEST 2 /* refused arguments: options, flags, pipeline, environment */
#define CMDKIT_FAILED_FIND                                                                         \
    3 /* command `index`: its program was not found or cannot be looked up                         \
       */
#define CMDKIT_FAILED_COMPOSE 4   /* command `index`: no command line can be written */
#define CMDKIT_FAILED_DIRECTORY 5 /* `directory` cannot be used */
#define CMDKIT_FAILED_INPUT 6     /* the `<` file cannot be opened */
#define CMDKIT_FAILED_OUTPUT 7    /* the `>`/`>>` file cannot be opened */
#define CMDKIT_FAILED_START 8     /* command `index`: found, but the system would not start it */
#define CMDKIT_FAILED_SYSTEM 9    /* pipes, the job, anything else */
/* cmdkit_run_all: the job was never started (the run was stopped first) */
#define CMDKIT_FAILED_NOT_STARTED 10
typedef struct cmdkit_failure {
    size_t size;                /* sizeof (cmdkit_failure), set by the caller */
    int stage;                  /* CMDKIT_FAILED_..., 0 when nothing failed */
    int index;                  /* the command concerned, counted from 0, or -1 */
    int error;                  /* the errno value also set */
    unsigned long system_error; /* GetLastError() on Windows, errno on POSIX */
    /* The one message, NUL-terminated, cut where needed without splitting a
     * UTF-8 sequence; empty when nothing failed. */
    char message[256];
} cmdkit_failure;
#define CMDKIT_FAILURE_INIT                                                                        \
    {                                                                                              \
        sizeof(cmdkit_failure), 0, -1, 0, 0ul, {                                                   \
            0                                                                                      \
        }                                                                                          \
    }

typedef struct cmdkit_process cmdkit_process;

/*
 * Starts every command of `pipeline`, which is only read (never freed or
 * kept).  The first command reads the `<` file, or the caller's standard
 * input, or the null device with CMDKIT_START_NULL_INPUT (a `<` file wins
 * over the flag), or what `input` says; each writes into a pipe the next
 * one reads; the last writes the `>` file (created or truncated), appends
 * to the `>>` file (created if missing), or writes the caller's standard
 * output, or where `output` says.  Every command's standard error is the
 * caller's, or with CMDKIT_START_ERRORS_TO_OUTPUT goes where the last
 * command's output goes, or where `errors` says.
 * A standard stream the caller has closed counts as the null device; one
 * that is open but cannot be copied (no descriptor left) fails the start.
 *
 * A caller-built pipeline needs `count` equal to the number of vectors (at
 * least 1), an entry 0 in every command, `append` 0 or 1 (0 without an
 * output); `input` and `output` are used as they are, relative names in
 * `directory` when given.  On Windows a bare device name (NUL, CON, COM1,
 * any case, with or without an extension) is that device.
 *
 * Finding: entry 0 exactly as given is looked up (never a line): empty, or
 * holding `"`, or beginning or ending with white space, it is refused.  A
 * null `lookup` means NO_CURRENT_DIRECTORY | DIRECT_PATHS |
 * UNQUOTE_PATH_ENTRIES | HOST_RULES (a POSIX caller passing its own options
 * adds HOST_RULES itself).  Unless the options search the current
 * directory, a program found through a relative PATH entry is refused
 * (ENOENT): nothing planted relative to the current directory starts; only
 * a name written as a path, with DIRECT_PATHS, is taken relative to it.
 * With no `path` in the options and an `environment` given, that
 * environment's PATH is searched (none when it has none).  A program not
 * found is never handed to COMSPEC /c.  The program found is made absolute
 * against the caller's current directory, so `directory` changes where it
 * runs, not what runs.
 *
 * On Windows a batch file is run by the system directory's cmd.exe with its
 * arguments composed by argv_to_batch_cmdline, refused when it would run in
 * a UNC directory (where cmd.exe would run it in the Windows directory
 * instead) or with an environment holding a CD entry; any other program
 * keeps entry 0 as given (what it sees as argv[0]) and gets the line of
 * argv_to_windows_cmdline.
 *
 * Environment entries are "NAME=value"; a name ends at the first `=` after
 * its first character, and an entry with an empty name or no `=` is
 * refused, and so are two entries of one name.  On Windows names compare
 * without regard to case, ordinally, so two that differ only in case are
 * one name.  Nothing is added to a given
 * environment (no SYSTEMROOT).  `environment_changes` apply in order: a
 * set replaces every entry of its name (on Windows with the change's
 * spelling of the name), a removal removes them, and the entries they do
 * not name pass as they are; an entry with an empty name is refused.  With
 * no `path` in the lookup options the program is looked up in the PATH of
 * the environment that results.
 *
 * Extra handles: on POSIX every command gets `extra_handles[k]` as its
 * descriptor 3 + k, whatever number the caller's has (among 3 and up in
 * another order, or one of the standard streams, too); on Windows each
 * must already be inheritable, goes into the commands' handle list with its
 * flags unchanged, and is seen by them at the same value, for the caller to
 * tell the program.  The caller's own stay open and unchanged, and nothing
 * else is inherited.  One that is not open, or a pseudo-handle, is refused
 * (stage REQUEST, EBADF, index -1, the message naming extra_handles[K],
 * counting from 0), and so on Windows is one that is not inheritable
 * (EINVAL).  Options of an earlier size have none.
 *
 * Returns 0 with *process set, or -1 with errno, *process null, the failure
 * report filled, one message to the trace sink, and nothing of the attempt
 * left: no handle or descriptor, no child alive or unreaped.  The order:
 * the request is checked, every program found and its line composed
 * (nothing is opened when a program is missing), `directory` checked, `<`
 * then `>` opened, the pipes made, the commands started in order.
 */
CMDKIT_API int cmdkit_start(const cmdkit_pipeline *pipeline, const cmdkit_start_options *options,
                            cmdkit_process **process, cmdkit_failure *failure);

/*
 * Waits until every command has ended, reaping each as it ends, or until
 * `timeout_ms` (-1: no limit; 0 to LONG_MAX milliseconds on a monotonic
 * clock) has passed; 0 is one look, which reaps what has ended.  Returns 0
 * when all have ended, 1 when time ran out first, -1 with errno (EINVAL for
 * another negative `timeout_ms`, ECHILD when someone else took a command's
 * status).
 */
CMDKIT_API int cmdkit_wait(cmdkit_process *process, long timeout_ms);

#define CMDKIT_EXIT_RUNNING 0  /* not yet seen to end */
#define CMDKIT_EXIT_EXITED 1   /* ended by itself: `code` is its exit code */
#define CMDKIT_EXIT_SIGNALED 2 /* POSIX: ended by the signal in `code` */
#define CMDKIT_EXIT_KILLED 3   /* ended by cmdkit_kill: the signal (9) or the exit code (1) */
#define CMDKIT_EXIT_UNKNOWN 4  /* its status was taken by someone else */
typedef struct cmdkit_exit {
    int state;          /* CMDKIT_EXIT_... */
    unsigned long code; /* EXITED: the exit code (all 32 bits on Windows); SIGNALED: the signal */
} cmdkit_exit;

/* What cmdkit_wait or cmdkit_kill last observed of command `index`, without
 * a system call: 0 with *exit filled, or -1 with EINVAL for an index out of
 * range or a null pointer.  A command exiting with 259 is EXITED 259. */
CMDKIT_API int cmdkit_exit_status(const cmdkit_process *process, int index, cmdkit_exit *exit);

/*
 * Reads what the pipeline writes to the output pipe (CMDKIT_START_CAPTURE_
 * OUTPUT, or an `output` of kind PIPE): returns the count, at most `size`
 * and at most INT_MAX, 0 at the end of output, -1 with ETIMEDOUT when
 * nothing arrived within `timeout_ms` (nothing is lost; call again), -1
 * with EINVAL without an output pipe, for a `size` of 0 or a `timeout_ms`
 * cmdkit_wait would refuse, -1 with another errno on a system failure.  A
 * descendant that inherited the pipe can keep it open after every command
 * has ended: the time limit is what ends such a read (and cmdkit_kill
 * where the pipeline is contained).  Unlike the functions that act, it
 * returns a count.
 */
CMDKIT_API ptrdiff_t cmdkit_read_output(cmdkit_process *process, char *buffer, size_t size,
                                        long timeout_ms);

/* The same for the errors pipe (an `errors` of kind PIPE). */
CMDKIT_API ptrdiff_t cmdkit_read_errors(cmdkit_process *process, char *buffer, size_t size,
                                        long timeout_ms);

/*
 * Reads whichever of the output and errors pipes has data first, in one
 * wait, and sets *from to 1 (output) or 2 (errors); when only one of them
 * is a pipe, that one.  Returns the count as cmdkit_read_output does, 0
 * when both have ended, -1 with EINVAL when neither is a pipe or `from` is
 * null.
 */
CMDKIT_API ptrdiff_t cmdkit_read_ready(cmdkit_process *process, char *buffer, size_t size,
                                       long timeout_ms, int *from);

/*
 * Writes to the first command's input pipe (an `input` of kind PIPE):
 * returns the count of bytes taken (at least 1; cmdkit may hold some before
 * the command reads them), -1 with ETIMEDOUT when none was taken within
 * `timeout_ms`, -1 with EPIPE when the first command no longer reads (the
 * caller never gets SIGPIPE), -1 with EINVAL without an input pipe (none
 * asked for, or closed), for a `size` of 0 or a `timeout_ms` cmdkit_wait
 * would refuse.  A command that reads only after writing a lot of output
 * waits for the caller to read it: write and read from two threads, or use
 * the capture functions, which move both together.
 */
CMDKIT_API ptrdiff_t cmdkit_write_input(cmdkit_process *process, const char *data, size_t size,
                                        long timeout_ms);

/* Closes the input pipe, after what cmdkit holds has been written, so the
 * first command reads the end of its input.  Returns 0, also a second time
 * and without an input pipe; -1 with EINVAL for a null process. */
CMDKIT_API int cmdkit_close_input(cmdkit_process *process);

/* 1 when cmdkit_kill and cmdkit_free_process reach the commands'
 * descendants (a job on Windows, a group on POSIX with NEW_GROUP), else 0. */
CMDKIT_API int cmdkit_contained(const cmdkit_process *process);

/*
 * Ends at once every command still running, and what the pipeline
 * contains: on Windows the whole job, or each command without one; on
 * POSIX SIGKILL to the group with NEW_GROUP, else to each command not yet
 * reaped.  Commands already ended keep their status; those still running
 * become KILLED once they end.  Returns 0, also when everything had ended
 * and on a second call.  It may be called while another thread waits,
 * reads or writes.
 */
CMDKIT_API int cmdkit_kill(cmdkit_process *process);

/*
 * Asks the pipeline to end, then ends it: on POSIX SIGTERM to the group
 * (with NEW_GROUP) or to each command still running, then, once every
 * command has ended or `grace_ms` has passed, cmdkit_kill for whatever is
 * left, the rest of the group included.  `grace_ms` 0 sends no SIGTERM and
 * is exactly cmdkit_kill.  Commands that end within the grace, by the
 * signal or by themselves, keep their own status (SIGNALED 15, or EXITED
 * with their code); those killed are KILLED.  On Windows no signal exists
 * that every program honours, so it kills at once, whatever the grace.
 * Returns 0 when every command ended within the grace, 1 when one was still
 * running and had to be killed (with `grace_ms` 0 too), -1 with EINVAL for
 * a null process or a negative `grace_ms`.  It may be called while another
 * thread waits, reads or writes, like cmdkit_kill.
 */
CMDKIT_API int cmdkit_stop(cmdkit_process *process, long grace_ms);

/*
 * Kills what still runs, waits for it, reaps every command and releases
 * every handle and descriptor; null does nothing.  What else ends: on
 * Windows everything still in the job, when the pipeline is freed or the
 * caller ends in any way, even after every command ended normally (a
 * descendant created with CREATE_BREAKAWAY_FROM_JOB has left the job and
 * lives on); on POSIX with NEW_GROUP the group; otherwise descendants that
 * outlive their command keep running, as after a shell.
 */
CMDKIT_API void cmdkit_free_process(cmdkit_process *process);

/*
 * system() without an interpreter: start, wait, free.  `timeout_ms` as for
 * cmdkit_wait, except that 0 is refused; past it the pipeline is stopped
 * (cmdkit_stop with the options' grace_ms, so killed at once by default).
 * A PIPE on any side is refused, as is CAPTURE_OUTPUT: nobody would read
 * or write it.
 * Returns 0 when the pipeline ran (whatever its exit code), 1 when the time
 * limit stopped it, -1 when it could not be started (or, in cmdkit_run,
 * parsed: stage CMDKIT_FAILED_PARSE).  *status (may be null) is the last
 * command's exit, its own when it ended within the grace, KILLED only if
 * it was still running at the end of it;
 * with CMDKIT_START_PIPEFAIL the exit of the rightmost command that did not
 * end EXITED 0, or the last command's when all did.  When the wait itself
 * fails, the pipeline is killed and freed, and -1 comes with stage
 * CMDKIT_FAILED_SYSTEM and *status as far as known.
 */
CMDKIT_API int cmdkit_run_pipeline(const cmdkit_pipeline *pipeline,
                                   const cmdkit_start_options *options, long timeout_ms,
                                   cmdkit_exit *status, cmdkit_failure *failure);
CMDKIT_API int cmdkit_run(const char *line, const cmdkit_start_options *options, long timeout_ms,
                          cmdkit_exit *status, cmdkit_failure *failure);

/* What a capture gives: fill `size`, everything else is written (as far as
 * both sizes reach, see Sizes above). */
typedef struct cmdkit_captured {
    size_t size;          /* sizeof (cmdkit_captured), set by the caller */
    char *output;         /* what the pipeline wrote to its output, NUL added; free() */
    size_t output_length; /* without the NUL */
    char *errors;         /* the same for its errors, or null when they went elsewhere */
    size_t errors_length;
    cmdkit_exit status; /* as cmdkit_run_pipeline gives it (PIPEFAIL honoured) */
    int timed_out;      /* 1: the time limit stopped it */
    int truncated;      /* 1: more than max_output bytes arrived; it was stopped */
} cmdkit_captured;
#define CMDKIT_CAPTURED_INIT                                                                       \
    { sizeof(cmdkit_captured), NULL, 0, NULL, 0, {0, 0ul}, 0, 0 }

/*
 * Runs a pipeline with `input` as the first command's standard input and
 * gives back what it wrote: the whole job of a program run from data in
 * one call, with one deadline and bounded memory.
 *
 * The output is a pipe, and so are the errors unless the options send them
 * elsewhere (NULL, HANDLE, TO_OUTPUT or ERRORS_TO_OUTPUT).  With `input`
 * non-null the first command reads those `input_length` bytes (NUL bytes
 * included) and then the end of its input; with `input` null it reads the
 * null device unless a `<` target or the options say otherwise.  A command
 * that stops reading early is no failure.  Input, output and errors move
 * together, so no size on any side can block the pipeline.  Refused (stage
 * REQUEST): a `>`/`>>` target, an `output` of any kind but DEFAULT,
 * CAPTURE_OUTPUT, an input PIPE, a non-null `input` with a `<` target,
 * NULL_INPUT or an `input` stream of any other kind, a null `input` with a
 * non-zero length.
 *
 * The pipeline is always contained: a process group of its own on POSIX
 * (what the header says of NEW_GROUP holds: a caller handing it the
 * terminal gets SIGTTIN), its job on Windows, where a capture whose job is
 * refused fails (stage SYSTEM).  What leaves the group or the job is out of
 * reach.
 *
 * `timeout_ms` is one deadline for everything (-1: none; 0 is refused).
 * `max_output` (0: no bound) counts output and errors together: the first
 * `max_output` bytes are kept in the order they arrived, and one byte more
 * sets `truncated`.  At the deadline, or when the bound is passed, the
 * pipeline is stopped as cmdkit_stop stops it, with the options' grace_ms,
 * and what it writes during the grace is still kept (within the bound);
 * both flags may be set.
 *
 * A descendant that holds the pipes keeps the capture reading after every
 * command has ended; at the deadline the group or the job still gets the
 * stop (SIGTERM to the group on POSIX, though every command has ended), the
 * capture reads on for at most `grace_ms`, then kills the group or the job,
 * takes what the pipes hold without waiting, and returns 1 with
 * `timed_out` set and the commands' own statuses.
 *
 * Returns 0 when the pipeline ran to its end, 1 when the deadline or the
 * bound stopped it (also when a descendant still held its pipes at the
 * deadline), -1 when it could not be started or the wait failed, with
 * `result` empty (nothing to free) and the report filled.  After 0 or 1
 * `output` is never null.  cmdkit_capture parses `line` first (stage
 * CMDKIT_FAILED_PARSE when it breaks a rule).
 */
CMDKIT_API int cmdkit_capture_pipeline(const cmdkit_pipeline *pipeline,
                                       const cmdkit_start_options *options, const char *input,
                                       size_t input_length, size_t max_output, long timeout_ms,
                                       cmdkit_captured *result, cmdkit_failure *failure);
CMDKIT_API int cmdkit_capture(const char *line, const cmdkit_start_options *options,
                              const char *input, size_t input_length, size_t max_output,
                              long timeout_ms, cmdkit_captured *result, cmdkit_failure *failure);

/* Frees what a capture gave and empties the struct, keeping `size`; null,
 * or a size this version does not know, does nothing. */
CMDKIT_API void cmdkit_clear_captured(cmdkit_captured *result);

/*
 * Many pipelines at once: one wait over all of them, or their handles in
 * an event loop the caller already has.  cmdkit_poll_item and
 * cmdkit_pollable are fixed for good: a later need gets a new call.
 */
/* cmdkit_read_output with limit 0 would not time out: bytes, or the end */
#define CMDKIT_EVENT_OUTPUT 0x1u
/* the same for cmdkit_read_errors */
#define CMDKIT_EVENT_ERRORS 0x2u
/* cmdkit_write_input would accept a byte, or the reader is gone */
#define CMDKIT_EVENT_INPUT 0x4u
/* every command has ended: cmdkit_wait with limit 0 returns 0 */
#define CMDKIT_EVENT_ENDED 0x8u
typedef struct cmdkit_poll_item {
    cmdkit_process *process; /* null: skipped, events 0 */
    unsigned interests;      /* CMDKIT_EVENT_... wanted */
    unsigned events;         /* written: those of the interests that are ready */
} cmdkit_poll_item;

/*
 * Waits until one of the items has an event it is interested in, or until
 * `timeout_ms` (-1: no limit; 0: a look) has passed, and writes every
 * item's events.  Returns the number of items with events, 0 when the limit
 * passed (and at once for a `count` of 0), -1 with errno EINVAL, nothing
 * waited on, for an interest in a side that is not a pipe of its process
 * (never was, or an input closed with cmdkit_close_input), an unknown bit,
 * another negative limit, or null `items` with a `count`.
 *
 * ENDED comes from the commands' exits, never from their pipes: a
 * descendant holding a pipe does not delay it.  The poll reaps what it
 * reports ended, so that cmdkit_exit_status then holds the statuses.
 *
 * POSIX: one system wait for all of them, whatever their number and the
 * number of their commands, on the pipes and the commands' pidfds; no
 * thread and no sleep.  Where the system gives no pidfd (a kernel before
 * 5.3, a seccomp filter) the commands' ends are looked for in steps of at
 * most 50 ms.  Windows: one WaitForMultipleObjects while 64 handles or
 * fewer are watched, the system thread pool's waits beyond
 * (RegisterWaitForSingleObject, never a thread of cmdkit's own per
 * process), all of them unregistered before the call returns.
 */
CMDKIT_API int cmdkit_poll(cmdkit_poll_item *items, size_t count, long timeout_ms);

typedef struct cmdkit_pollable {
    intptr_t handle; /* POSIX: a descriptor; Windows: a waitable HANDLE */
    unsigned events; /* CMDKIT_EVENT_... it stands for */
    int writable;    /* POSIX: 1 when it is watched for writing (the input), 0 for reading */
} cmdkit_pollable;

/*
 * The handles an outside event loop watches for `process` now, at most
 * `room` of them written to `list`: returns how many there are (more than
 * `room` says the list was cut), 0 when nothing is left to watch, -1 with
 * errno EINVAL for a null process or a null list with room, ENOSYS when a
 * command that still runs has no pidfd to be watched by.  The set shrinks
 * as pipes and commands end (a pipe read to its end, a closed input, a
 * reaped command leave it): ask again after each event, and stop watching
 * a handle once it is no longer listed.  No handle is listed twice, and
 * none stays ready once its event has been taken.
 *
 * Every handle given stays open, with the same number or value, until
 * cmdkit_free_process (the input's until cmdkit_close_input), even after
 * its pipe ended or its command was reaped: a loop still watching one never
 * watches another's.  The handles stay cmdkit's: when one is ready, call
 * cmdkit_poll on that process with limit 0 (or the read, write or wait with
 * limit 0), never read, write, reap or close it.  A loop may set
 * O_NONBLOCK on a descriptor: cmdkit takes EAGAIN as "nothing now".  On
 * Windows each handle is one whose state no wait changes (a process handle
 * or a manual-reset event); the input's event is set while a write would
 * be accepted.
 */
CMDKIT_API int cmdkit_pollables(const cmdkit_process *process, cmdkit_pollable *list, size_t room);

/*
 * POSIX: sends signal `number` to every command still running (to the
 * group with NEW_GROUP); 0 when sent, and when every command had ended
 * already; `number` 0 only checks.  A command it ends is SIGNALED with that
 * number.  As safe against recycled process ids as cmdkit_kill, and
 * callable beside any call.  -1 with EINVAL for a null process or a number
 * that is no signal.  Windows: -1 with ENOTSUP; cmdkit_stop and
 * cmdkit_kill end a pipeline there.
 */
CMDKIT_API int cmdkit_signal(cmdkit_process *process, int number);

/*
 * Many lines at once, what build tools and test runners do: each line (or
 * pipeline) a job, at most `jobs` at once, each captured whole as
 * cmdkit_capture captures it (output and errors apart unless the start
 * options join them, the input the null device unless a `<` target says
 * otherwise), with its own time limit and bound and the start options'
 * grace.
 *
 * `done` gets every job once: its index, its outcome as the capture would
 * return it (0, 1 or -1), the result (null when it did not start) and the
 * failure (null when it did), both valid until `done` returns.  It runs on
 * the calling thread, returns 0 to go on or non-zero to cancel the run as
 * `cancel_handle` does, and may call any cmdkit function, cmdkit_run_all
 * included, but must not leave by longjmp.  A line that does not parse, or
 * a program that is not found, is that job's outcome (-1), never the run's.
 *
 * Jobs start in the order given; `done` is called as they end, or with
 * CMDKIT_ALL_KEEP_ORDER in the order given: a job that has ended waits for
 * the ones before it, and none starts more than `jobs` places after the
 * oldest one not yet reported, which bounds the memory held.  With
 * CMDKIT_ALL_STOP_ON_FAILURE the first job that does not end EXITED 0 (one
 * that does not parse or is not found included) stops the running ones
 * with the grace, and no further job starts.  A job the run stopped gets
 * outcome 1 with `timed_out` and `truncated` 0; one never started gets
 * outcome -1 and a failure of stage CMDKIT_FAILED_NOT_STARTED.
 *
 * `cancel_handle` (-1: none) is watched in the same wait as the jobs, and
 * never read, reset or closed: readable (POSIX) or signalled (Windows), it
 * cancels the run.  A signal handler cancels with write(fd, "x", 1),
 * another thread the same way or with SetEvent.  The running jobs are then
 * stopped with the grace, the rest not started, and all are reported.  On
 * Windows, which has no request to send, a cancel waits out the grace for
 * jobs that got one of their own (the console's Ctrl+C), then kills; the
 * time limits and CMDKIT_ALL_STOP_ON_FAILURE kill at once, as cmdkit_stop
 * does there.  More than 64 jobs at once work on every system.
 *
 * Returns 0 when every job ran to its end and exited 0, 1 otherwise, -1 when
 * the request itself is refused (stage REQUEST, the report says why; no job
 * started, `done` never called): a `job_timeout_ms` of 0 or below -1, an
 * unknown flag, a null list with a count, start options a capture refuses.
 */
typedef int (*cmdkit_job_done)(void *context, size_t index, int outcome,
                               const cmdkit_captured *result, const cmdkit_failure *failure);
#define CMDKIT_ALL_STOP_ON_FAILURE 0x1u
#define CMDKIT_ALL_KEEP_ORDER 0x2u
typedef struct cmdkit_run_all_options {
    size_t size;                       /* sizeof: start from CMDKIT_RUN_ALL_OPTIONS_INIT */
    unsigned jobs;                     /* at most this many at once; 0: one per processor */
    unsigned flags;                    /* CMDKIT_ALL_STOP_ON_FAILURE, CMDKIT_ALL_KEEP_ORDER */
    long job_timeout_ms;               /* each job's limit; -1: none */
    size_t max_output;                 /* each job's bound, as in a capture; 0: none */
    const cmdkit_start_options *start; /* for every job; null: the defaults */
    cmdkit_job_done done; /* called for every job, on the calling thread; null: results dropped */
    void *context;
    intptr_t cancel_handle; /* -1: none; else readable (POSIX) or signalled (Windows) = cancel */
} cmdkit_run_all_options;
#define CMDKIT_RUN_ALL_OPTIONS_INIT                                                                \
    { sizeof(cmdkit_run_all_options), 0u, 0u, -1L, 0, NULL, NULL, NULL, -1 }
CMDKIT_API int cmdkit_run_all(const char *const *lines, size_t count,
                              const cmdkit_run_all_options *options, cmdkit_failure *failure);
CMDKIT_API int cmdkit_run_all_pipelines(const cmdkit_pipeline *const *pipelines, size_t count,
                                        const cmdkit_run_all_options *options,
                                        cmdkit_failure *failure);

/*
 * One program from data, with no pipeline to build: `argv` is its argument
 * vector, ending with null (only read, never kept), entry 0 the program's
 * name as cmdkit_start finds it.  The contracts of cmdkit_run_pipeline and
 * cmdkit_capture_pipeline, for a pipeline of that one command without
 * targets: its streams are the options'.  A null vector, or one without an
 * entry 0, is refused (stage REQUEST, EINVAL).
 */
CMDKIT_API int cmdkit_run_argv(const char *const *argv, const cmdkit_start_options *options,
                               long timeout_ms, cmdkit_exit *status, cmdkit_failure *failure);
CMDKIT_API int cmdkit_capture_argv(const char *const *argv, const cmdkit_start_options *options,
                                   const char *input, size_t input_length, size_t max_output,
                                   long timeout_ms, cmdkit_captured *result,
                                   cmdkit_failure *failure);

/*
 * An exit in words, for a message: "exited with 3", "ended by signal 15
 * (SIGTERM)", "killed", "still running", "status unknown: another waiter
 * took it"; on Windows an exception code in hex with its name, as in
 * "exited with 0xC0000005 (access violation)".  Written to `buffer`
 * NUL-terminated and cut to `size` bytes as snprintf cuts, never inside a
 * UTF-8 sequence (`buffer` may be null when `size` is 0).  Returns the
 * length of the whole text without its NUL, so that a return of `size` or
 * more says it was cut; 0 with errno EINVAL for a null `exit`.
 */
CMDKIT_API size_t cmdkit_describe_exit(const cmdkit_exit *exit, char *buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* CMDRUN_H */
