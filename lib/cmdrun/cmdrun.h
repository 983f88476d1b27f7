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
 * errno on failure; where time can run out, 1 says so.  A `failure` pointer
 * may be null; when given (its `size` set by the caller) it is filled on
 * every -1, whatever the trace sink is, and its `stage` is 0 on success.
 * On every failure the last call the trace sink receives from the failing
 * function is its one message, naming the command (its position, counted
 * from 1, and program name) or the file, so a sink may keep just that.
 *
 * Threads: cmdkit_start, cmdkit_run and calls on distinct processes may run
 * in several threads at once, provided the trace sink is silenced or safe
 * to call concurrently, semicolon_is_separator is not changed meanwhile,
 * and on POSIX no thread changes the environment.  Each command inherits
 * only its own handles from cmdkit.  What cmdkit cannot prevent: during
 * one CreateProcessW three inheritable duplicates exist, which another
 * thread's CreateProcess without a handle list (system, _popen, other
 * libraries) can inherit; on POSIX a fork without exec elsewhere copies the
 * pipe ends.  Calls on one process are the caller's to serialise, except
 * that cmdkit_kill may be called while another thread waits in cmdkit_wait
 * or reads in cmdkit_read_output.
 *
 * Children: cmdkit needs its children's statuses left to it.  A caller that
 * ignores SIGCHLD or reaps with waitpid(-1) takes them: the wait then fails
 * with ECHILD and the command's state is CMDKIT_EXIT_UNKNOWN.
 *
 * Windows 8 or later; on POSIX, glibc 2.34 or later (posix_spawn with
 * closefrom and chdir file actions).
 */
#ifndef CMDRUN_H
#define CMDRUN_H

#include "cmdline.h"

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

typedef struct cmdkit_start_options {
    size_t size;                         /* sizeof (cmdkit_start_options) */
    unsigned flags;                      /* CMDKIT_START_... or 0 */
    const cmdkit_lookup_options *lookup; /* how each program is found; null: the careful default */
    const char *directory;               /* every command's current directory; null: the caller's */
    const char *const *environment; /* "NAME=value" entries ending with null; null: the caller's */
} cmdkit_start_options;
#define CMDKIT_START_OPTIONS_INIT                                                                  \
    { sizeof(cmdkit_start_options), 0u, NULL, NULL, NULL }

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
typedef struct cmdkit_failure {
    size_t size;                /* sizeof (cmdkit_failure), set by the caller */
    int stage;                  /* CMDKIT_FAILED_..., 0 when nothing failed */
    int index;                  /* the command concerned, counted from 0, or -1 */
    int error;                  /* the errno value also set */
    unsigned long system_error; /* GetLastError() on Windows, errno on POSIX */
} cmdkit_failure;
#define CMDKIT_FAILURE_INIT                                                                        \
    { sizeof(cmdkit_failure), 0, -1, 0, 0ul }

typedef struct cmdkit_process cmdkit_process;

/*
 * Starts every command of `pipeline`, which is only read (never freed or
 * kept).  The first command reads the `<` file, or the caller's standard
 * input, or the null device with CMDKIT_START_NULL_INPUT (a `<` file wins
 * over the flag); each writes into a pipe the next one reads; the last
 * writes the `>` file (created or truncated), appends to the `>>` file
 * (created if missing), or writes the caller's standard output.  Every
 * command's standard error is the caller's, or with
 * CMDKIT_START_ERRORS_TO_OUTPUT goes where the last command's output goes.
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
 * environment (no SYSTEMROOT).
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
 * clock) has passed.  Returns 0 when all have ended, 1 when time ran out
 * first, -1 with errno (EINVAL for another negative `timeout_ms`, ECHILD
 * when someone else took a command's status).
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
 * Reads what the pipeline writes to the capture pipe (CMDKIT_START_CAPTURE_
 * OUTPUT): returns the count, at most `size` and at most INT_MAX, 0 at the
 * end of output, -1 with ETIMEDOUT when nothing arrived within `timeout_ms`
 * (nothing is lost; call again), -1 with EINVAL without the flag, for a
 * `size` of 0 or a `timeout_ms` cmdkit_wait would refuse, -1 with another
 * errno on a system failure.  A descendant that inherited the pipe can keep it open after
 * every command has ended: the time limit is what ends such a read (and
 * cmdkit_kill where the pipeline is contained).  cmdkit_kill may be called
 * from another thread while one reads, and one thread may read while
 * another waits.  Unlike the functions that act, it returns a count.
 */
CMDKIT_API ptrdiff_t cmdkit_read_output(cmdkit_process *process, char *buffer, size_t size,
                                        long timeout_ms);

/* 1 when cmdkit_kill and cmdkit_free_process reach the commands'
 * descendants (a job on Windows, a group on POSIX with NEW_GROUP), else 0. */
CMDKIT_API int cmdkit_contained(const cmdkit_process *process);

/*
 * Ends at once every command still running, and what the pipeline
 * contains: on Windows the whole job, or each command without one; on
 * POSIX SIGKILL to the group with NEW_GROUP, else to each command not yet
 * reaped.  Commands already ended keep their status; those still running
 * become KILLED once they end.  Returns 0, also when everything had ended
 * and on a second call.  There is no gentle stop (SIGTERM, Ctrl-Break) yet.
 */
CMDKIT_API int cmdkit_kill(cmdkit_process *process);

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
 * cmdkit_wait, except that 0 is refused; past it the pipeline is killed.
 * Returns 0 when the pipeline ran (whatever its exit code), 1 when the time
 * limit killed it, -1 when it could not be started (or, in cmdkit_run,
 * parsed: stage CMDKIT_FAILED_PARSE).  *status (may be null) is the last
 * command's exit, KILLED only if it was still running when time ran out;
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

#ifdef __cplusplus
}
#endif

#endif /* CMDRUN_H */
