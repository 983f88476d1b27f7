/*
 * cmdline: parse shell-like command lines into pipelines, find the program a
 * command line names, and compose pipelines back into command text.
 *
 * Ownership: every string, argument vector and command list returned here is
 * a heap block owned by the caller and released with free(); the library
 * keeps no reference to it.  Memory exhaustion ends the process through the
 * checked allocators of cmdkit.h.
 *
 * Text: on Windows every string given to or returned by cmdkit is UTF-8,
 * whatever the process's ANSI code page; the library reads the environment
 * and tests files through the system's wide calls.  Convert text in the ANSI
 * code page (or any other) to UTF-8 before handing it over: it is never read
 * in another code page, so a name that is not UTF-8 is simply not found.
 * Strictly the library speaks WTF-8, UTF-8 that may also carry the lone
 * surrogates a Windows environment or file name can hold, so such a name
 * comes back exactly.  On POSIX hosts strings are plain bytes.
 *
 * Tracing: the parser and the lookup trace their work, and report malformed
 * input, through a trace sink: standard error unless the caller installs
 * another one or none (cmdkit_set_trace).
 *
 * Not thread-safe: the separator setting and the trace sink are
 * process-wide, and traces from concurrent calls would interleave.
 */
#ifndef CMDLINE_H
#define CMDLINE_H

#include "cmdkit.h"

#ifdef __cplusplus
extern "C" {
#endif

/* While non-zero, `;` ends a command line the way the end of the text does
 * (the rest is not parsed) and `\;` is a literal semicolon.  Starts at 0, in
 * which case `;` is an ordinary character.  Read on every call. */
CMDKIT_API extern int semicolon_is_separator;

/*
 * Where the parser's and the lookup's traces and messages go.  Each trace
 * line reaches the sink as one call with the whole line, line feed
 * included; each message as one call, most of them without a line feed.
 * `text` is NUL-terminated and `length` does not count the NUL.  `context`
 * is the pointer given to cmdkit_set_trace.  A sink must return normally
 * (no exception, no longjmp); it may call any cmdkit function except
 * cmdkit_set_trace.
 */
typedef void (*cmdkit_trace_fn)(void *context, const char *text, size_t length);

/* The default sink: writes `text` to standard error with one fwrite. */
CMDKIT_API void cmdkit_trace_to_stderr(void *context, const char *text, size_t length);

/* Installs `sink` with its `context` for every later call; a null `sink`
 * silences the library, which then formats no trace at all.  Process-wide,
 * like the separator setting: do not change it while another thread calls
 * cmdkit.  Threads that start pipelines at once (cmdrun.h) need a sink that
 * is safe to call concurrently, or none.  The message of a failed allocation, which ends the
 * process, still goes to standard error. */
CMDKIT_API void cmdkit_set_trace(cmdkit_trace_fn sink, void *context);

/* The sink and context installed now, each stored when its address is not
 * null, so that a caller can restore them later. */
CMDKIT_API void cmdkit_get_trace(cmdkit_trace_fn *sink, void **context);

/*
 * Parses `line` into a pipeline: a null-terminated list of null-terminated
 * argument vectors, one per command between `|` symbols.  Quotes, `'` as
 * well as `"`, and the backslash before a quote are removed from each
 * argument (`"it's"` gives `its`).  There is no `2>`: it is the word `2`
 * followed by `>`.
 *
 * `*input` and `*output` receive the raw text (quotes kept) of the `<` and
 * of the `>`/`>>` target, or null; both are set to null first.  Either
 * address may be null when the caller does not want that target.  `*count`,
 * when `count` is not null, receives the number of commands (0 on failure).
 *
 * Returns the list, or null when the line breaks a rule (empty command,
 * second redirection of a stream, output redirection before a pipe, a word
 * after a `<` or `>` target, missing target, unmatched quote, command name
 * beginning with `(`).  A failed parse frees everything it built except
 * targets already stored, which stay in *input / *output for the caller.
 *
 * The trace sink receives "line = LINE\n", then "token = REST\n" for every
 * token read, and on failure a message; most messages end without a line
 * feed.  errno becomes EINVAL for the redirection, missing-name and quote
 * errors, and is left alone for "Ambigous input/output redirect." and a
 * command name beginning with `(`.  A null `line` fails with EINVAL and
 * writes nothing.
 */
CMDKIT_API char ***parse_cmdline(const char *line, char **input, char **output, int *count);

/*
 * Releases a command list as parse_cmdline returns it: every string of every
 * vector, every vector, then the list.  A null `list` does nothing.  The
 * redirection targets are separate strings; free() them yourself, also
 * after a failed parse.  Writes nothing.
 */
CMDKIT_API void free_pipeline(char ***list);

/*
 * Lists a pipeline on standard output: "cmd[N] = ARG ARG ... \n" for each
 * command (every argument followed by a space), then "input = ", "output = "
 * and "errput = " lines with the target or <stdin>, <stdout>, <stderr>.
 * A null `list` prints only the three stream lines, and a command whose
 * vector is empty (first entry null) the line "cmd[N] = ".  Frees nothing.
 */
CMDKIT_API void print_pipeline(char ***list, const char *input, const char *output,
                               const char *errput);

/*
 * Finds the program named by the first word of `cmdline` (a leading
 * double-quoted name may hold white space): in the current directory, then
 * in each directory of PATH, trying .com, .exe, .bat and .cmd in that order
 * unless the name already ends in one of them (any letter case).
 *
 * Found: *app_name is the path found and *new_cmd that path followed by the
 * rest of the line; the path is wrapped in double quotes in *new_cmd when it
 * holds white space, and a rest glued to a quoted name (`"tool"a`) is put
 * one space after it.  Not found: *app_name is null and *new_cmd is
 * COMSPEC " /c " cmdline (COMSPEC quoted when it holds white space and does
 * not begin with a quote already), or null when COMSPEC is unset.  Returns
 * 1 in both cases.
 *
 * Returns 0, with both results null and a message to the trace sink, when
 * the name's opening quote is never closed (or `cmdline` is null).  Every
 * step is traced as "look for command: ...".  The caller frees both
 * results; either address may be null when the caller does not want it.
 *
 * A found .bat or .cmd file is run by the command interpreter: before
 * starting one, see cmdkit_is_batch_path and argv_to_batch_cmdline.
 */
CMDKIT_API int look_for_cmd(const char *cmdline, char **app_name, char **new_cmd);

/* The current directory is not searched. */
#define CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY 0x01u
/* The current directory is searched unless the environment variable
 * NoDefaultCurrentDirectoryInExePath is set (to anything) and the name holds
 * no `\`, as Windows' own search does.  CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY
 * wins over it. */
#define CMDKIT_LOOKUP_SYSTEM_CURRENT_DIRECTORY_RULE 0x02u
/* PATH is read as the command interpreter reads it: a `"` toggles quoting
 * and is dropped, and a `;` inside quotes does not split, so
 * `"C:\a;b";C:\bin` is the two entries `C:\a;b` and `C:\bin`. */
#define CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES 0x04u
/* A name holding `\` or `/`, or beginning with a drive letter and `:`
 * (`bin\tool`, `.\tool`, `C:\x\y.exe`), is tried as written, relative
 * names against the current directory (even without the current directory
 * in the search), with the usual extensions, and is not joined to the
 * search directories. */
#define CMDKIT_LOOKUP_DIRECT_PATHS 0x08u
/* Only .com and .exe are tried, and a name typed with .bat or .cmd is not
 * found: for callers that start what they find without the batch-file
 * composition.  It keeps batch files from being found, not from running:
 * without CMDKIT_LOOKUP_NO_FALLBACK, `run.bat x` becomes COMSPEC /c run.bat x
 * and the interpreter runs the batch file with the arguments uncomposed. */
#define CMDKIT_LOOKUP_NO_BATCH 0x10u
/* On a POSIX host, the host's own rules: PATH entries are split at `:`, a
 * name is tried as written (no extensions), a candidate counts only when it
 * is a regular file the caller may execute, and a name holding `/` is tried
 * as written and not searched for; `\` is an ordinary character,
 * CMDKIT_LOOKUP_UNQUOTE_PATH_ENTRIES has no effect, an empty entry means the
 * current directory, and the current directory is searched only where PATH
 * names it.  No effect on Windows, whose rules the lookup follows anyway.
 * A POSIX caller passing its own options to cmdkit_start adds this itself. */
#define CMDKIT_LOOKUP_HOST_RULES 0x20u
/* A name not found gives a null *new_cmd (and a null *app_name), with the
 * traces a missing COMSPEC gives, instead of the COMSPEC " /c " form: for
 * callers that never mean to hand the line to the interpreter. */
#define CMDKIT_LOOKUP_NO_FALLBACK 0x40u

/* The caller's environment and search policy for look_for_cmd_ex.  Start
 * from CMDKIT_LOOKUP_OPTIONS_INIT and set what you need. */
typedef struct cmdkit_lookup_options {
    size_t size;         /* sizeof (cmdkit_lookup_options); lets the struct grow */
    unsigned flags;      /* CMDKIT_LOOKUP_... above, or 0 */
    const char *path;    /* searched instead of the environment's PATH; null: the environment */
    const char *comspec; /* used instead of the environment's COMSPEC; null: the environment */
} cmdkit_lookup_options;

#define CMDKIT_LOOKUP_OPTIONS_INIT                                                                 \
    { sizeof(cmdkit_lookup_options), 0u, NULL, NULL }

/*
 * look_for_cmd with the caller's PATH, COMSPEC and search policy.  A null
 * `options`, or options with nothing but the size set, behave exactly like
 * look_for_cmd; `path = ""` searches no PATH directory.  The traces name
 * what is searched in look_for_cmd's forms.
 *
 * Returns 1 and 0 as look_for_cmd does, and -1, with both results null and
 * errno EINVAL, when the options are refused: a `size` smaller than this
 * version's struct, a larger one whose extra bytes are not all zero, or a
 * flag this version does not know.
 *
 * A careful caller starting what it finds sets
 * CMDKIT_LOOKUP_NO_CURRENT_DIRECTORY (or the system rule) so that nothing
 * planted in the current directory wins, CMDKIT_LOOKUP_NO_FALLBACK, and
 * CMDKIT_LOOKUP_NO_BATCH unless it composes batch-file arguments with
 * argv_to_batch_cmdline.  Never start *new_cmd when *app_name is null unless
 * you mean to run the interpreter on the line.  `comspec = ""` gives a
 * *new_cmd that names no program (" /c ..."); prefer NO_FALLBACK.
 */
CMDKIT_API int look_for_cmd_ex(const char *cmdline, const cmdkit_lookup_options *options,
                               char **app_name, char **new_cmd);

/*
 * The arguments of `argv` (null-terminated) joined by single spaces, each
 * one holding white space wrapped in double quotes; nothing else is escaped
 * and empty arguments add nothing but their separator.  "" for an empty
 * vector, null for a null one.  The caller frees the result; nothing is
 * traced.  Linear in the length of the text, as is pipeline_to_cmdline.
 */
CMDKIT_API char *argv_to_cmdline(char **argv);

/*
 * The arguments of `argv` (null-terminated) as a command line for
 * CreateProcessW: joined by single spaces and quoted so that the started
 * program's C runtime, and CommandLineToArgvW, split it back into exactly
 * these arguments.
 *
 * An argument is wrapped in double quotes when it is empty or holds a
 * space, tab, line feed, vertical tab, double quote, `*` or `?` (a program
 * built to expand wildcards leaves quoted ones alone, at least on
 * msvcrt.dll; the UCRT's expansion is reported to expand them even then,
 * which no quoting prevents); inside the quotes a
 * double quote is escaped as \" and the backslashes directly before it, or
 * before the closing quote, are doubled.  Other arguments are copied
 * unchanged, backslashes included.  Entry 0, the program name, is split
 * without escapes, so it is only quoted (when empty or holding white space).
 *
 * The text is UTF-8, to be converted with cmdkit_to_utf16 and started with
 * CreateProcessW.  UTF-8 never uses a byte below 0x80 inside a character,
 * so no part of one is ever taken for a quote or a backslash; text in a
 * double-byte ANSI code page (932, 936, 949, 950), whose second bytes can
 * be 0x5C, must be converted to UTF-8 first.
 *
 * Returns "" for an empty vector.  Returns null with errno EINVAL for a null
 * vector, a program name holding a double quote (no command line can
 * give it back) or a program name that cmdkit_is_batch_path calls a batch
 * file (see argv_to_batch_cmdline), and null with errno E2BIG when the line
 * would take more than the 32,766 UTF-16 units CreateProcessW takes before
 * its terminating NUL.  The caller frees the result; nothing is traced.
 *
 *     wchar_t *line = cmdkit_to_utf16(composed);
 *     wchar_t *application = cmdkit_to_utf16(app_name);
 *     STARTUPINFOW startup = {sizeof startup};
 *     PROCESS_INFORMATION process;
 *     if (line != NULL && application != NULL &&
 *         CreateProcessW(application, line, NULL, NULL, FALSE, 0, NULL, NULL,
 *                        &startup, &process)) { ... }
 *     free(line);
 *     free(application);
 *
 * Not for the command interpreter: a .bat or .cmd program, and anything
 * started through COMSPEC /c, is read by cmd.exe, whose metacharacters
 * (& | ^ % < > ( )) this quoting does not neutralise.
 */
CMDKIT_API char *argv_to_windows_cmdline(char **argv);

/*
 * 1 when `path` names a .bat or .cmd file (any letter case), else 0; 0 for
 * null.  The name is read as Windows cleans it before deciding: `/` as `\`,
 * `.` and `..` segments resolved, trailing dots and spaces dropped, so
 * `C:\x\run.bat\.` and `C:\x\run.bat\sub\..` are batch files.
 * CreateProcess decides to run the command interpreter by the application
 * name, not by entry 0 of the vector: apply this to the string you pass as
 * the application name (the lookup's app_name included), and compose with
 * argv_to_batch_cmdline when it says 1.
 */
CMDKIT_API int cmdkit_is_batch_path(const char *path);

/*
 * A command line that runs the batch file `argv[0]` with the arguments
 * after it through the command interpreter, without letting any of their
 * characters be read as a command:
 *
 *     cmd.exe /e:ON /v:OFF /d /c ""C:\path\x.bat" arg1 "arg 2""
 *
 * An argument is quoted when it is empty, ends in `\`, or holds any byte
 * but ASCII letters, digits and # $ + - . / : @ \ _; inside the quotes a
 * `"` is written `""`, the backslashes before it and at the end are
 * doubled, and every `%` is written `%%cd:~,%`, which the interpreter
 * expands to a bare `%`, so that no %NAME% can form (the path gets the same
 * treatment).  A batch file passing %*, %1... or "%~1"... on gives a
 * program whose C runtime reads `""` inside quotes as a literal quote (the
 * UCRT, every Microsoft C runtime since 2008) exactly these arguments; the
 * old msvcrt.dll and CommandLineToArgvW end the quoted part at `""`, so an
 * argument holding `"` reaches such a program split, though never as a
 * command.
 *
 * Start it with CreateProcessW and the full path of the system directory's
 * cmd.exe as the application name, never null, which would let
 * CreateProcess look for a cmd.exe in the application's and the current
 * directory:
 *
 *     wchar_t interpreter[MAX_PATH];
 *     UINT length = GetSystemDirectoryW(interpreter, MAX_PATH - 8);
 *     wcscpy(interpreter + length, L"\\cmd.exe");
 *     wchar_t *line = cmdkit_to_utf16(composed);
 *     CreateProcessW(interpreter, line, ...);
 *
 * Returns null with errno EINVAL for a null or empty vector, an argument or
 * path holding a carriage return or line feed (either ends the
 * interpreter's line), and a path holding `"`, ending in `\`, holding a `:`
 * anywhere but after a drive letter, holding no `\` (a bare name would be
 * searched for in the interpreter's current directory) or not ending in
 * .bat or .cmd.  The path must be one Windows uses as written: no `/`, no
 * `.` or `..` segment, no segment ending in a dot or a space (each would
 * let the interpreter and the caller's checks see two different files).
 * Of the verbatim forms only \\?\X:\ and \\?\UNC\ are taken, written
 * X:\ and \\server, and only when the rest also holds no device name
 * (NUL, CON, COM1...); every other \\?\, \??\ or \\.\ path is refused.
 *
 * A batch file started with an environment of the caller's choosing must
 * get one without a CD entry: `%cd:~,%` relies on cd naming the
 * interpreter's current directory.  Returns null with errno
 * E2BIG when the line would take more than the interpreter's 8,191 UTF-16
 * units.  The caller frees the result; nothing is traced.
 */
CMDKIT_API char *argv_to_batch_cmdline(char **argv);

/*
 * A pipeline as command text: the first command, then " < INPUT" when
 * `input` is given, then " | COMMAND" for each further command, then
 * " > OUTPUT" when `output` is given.  Null for a null list or a list whose
 * first entry is null.  See argv_to_cmdline for the quoting.  Whether `>` or
 * `>>` was parsed is not known to the list, so the output is always `>`.
 * The caller frees the result; nothing is traced.
 */
CMDKIT_API char *pipeline_to_cmdline(char ***list, const char *input, const char *output);

#ifdef _WIN32
/*
 * `text` (UTF-8, or WTF-8 with lone surrogates) as a new UTF-16 string for
 * the wide Windows calls; the caller frees it.  Null with errno EINVAL for
 * a null `text` or one that is not WTF-8.  MultiByteToWideChar would refuse
 * or replace the lone surrogates a Windows environment can hold, which this
 * gives back exactly.
 */
CMDKIT_API wchar_t *cmdkit_to_utf16(const char *text);

/*
 * The reverse: UTF-16 `text` as a new WTF-8 string, lone surrogates kept,
 * so that a wmain argument or an environment value comes back exactly
 * (WideCharToMultiByte would replace them); the caller frees it.  Null
 * with errno EINVAL for a null `text`.
 */
CMDKIT_API char *cmdkit_from_utf16(const wchar_t *text);
#endif

#ifdef __cplusplus
}
#endif

#endif /* CMDLINE_H */
