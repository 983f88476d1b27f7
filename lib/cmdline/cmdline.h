/*
 * cmdline: parse shell-like command lines into pipelines, find the program a
 * command line names, and compose pipelines back into command text.
 *
 * Ownership: every string, argument vector and command list returned here is
 * a heap block owned by the caller and released with free(); the library
 * keeps no reference to it.  Memory exhaustion ends the process through the
 * checked allocators of cmdkit.h.
 *
 * Tracing: the parser and the lookup always trace their work on standard
 * error, and report malformed input there too.  There is no switch.
 *
 * Not thread-safe: the separator setting is process-wide, and traces from
 * concurrent calls would interleave.
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
 * Parses `line` into a pipeline: a null-terminated list of null-terminated
 * argument vectors, one per command between `|` symbols.  Quotes and the
 * backslash before a quote are removed from each argument.
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
 * Standard error receives "line = LINE\n", then "token = REST\n" for every
 * token read, and on failure a message; most messages end without a line
 * feed.  errno becomes EINVAL for the redirection, missing-name and quote
 * errors.  A null `line` fails with EINVAL and writes nothing.
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
 * A null `list` prints only the three stream lines.  Frees nothing.
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
 * Returns 0, with both results null and a message on standard error, when
 * the name's opening quote is never closed (or `cmdline` is null).  Every
 * step is traced on standard error as "look for command: ...".  The caller
 * frees both results.
 */
CMDKIT_API int look_for_cmd(const char *cmdline, char **app_name, char **new_cmd);

/*
 * The arguments of `argv` (null-terminated) joined by single spaces, each
 * one holding white space wrapped in double quotes; nothing else is escaped
 * and empty arguments add nothing but their separator.  "" for an empty
 * vector, null for a null one.  The caller frees the result; nothing is
 * written to standard error.
 */
CMDKIT_API char *argv_to_cmdline(char **argv);

/*
 * The arguments of `argv` (null-terminated) as a command line for the
 * Windows process loader: joined by single spaces and quoted so that the
 * started program's C runtime, and CommandLineToArgvW, split it back into
 * exactly these arguments.
 *
 * An argument is wrapped in double quotes when it is empty or holds a
 * space, tab, line feed, vertical tab or double quote; inside the quotes a
 * double quote is escaped as \" and the backslashes directly before it, or
 * before the closing quote, are doubled.  Other arguments are copied
 * unchanged, backslashes included.  Entry 0, the program name, is split
 * without escapes, so it is only quoted (when empty or holding white space).
 * Bytes above 0x7F pass through as they are: the line is meant for the
 * caller's ANSI code page.
 *
 * Returns "" for an empty vector.  Returns null with errno EINVAL for a null
 * vector or a program name holding a double quote (no command line can
 * give it back), and null with errno E2BIG when the line would be longer
 * than the 32,766 bytes that CreateProcess takes with its terminating NUL.
 * The caller frees the result; nothing is written to standard error.
 *
 * Not for the command interpreter: a .bat or .cmd program, and anything
 * started through COMSPEC /c, is read by cmd.exe, whose metacharacters
 * (& | ^ % < > ( )) this quoting does not neutralise.
 */
CMDKIT_API char *argv_to_windows_cmdline(char **argv);

/*
 * A pipeline as command text: the first command, then " < INPUT" when
 * `input` is given, then " | COMMAND" for each further command, then
 * " > OUTPUT" when `output` is given.  Null for a null list or a list whose
 * first entry is null.  See argv_to_cmdline for the quoting.  Whether `>` or
 * `>>` was parsed is not known to the list, so the output is always `>`.
 * The caller frees the result; nothing is written to standard error.
 */
CMDKIT_API char *pipeline_to_cmdline(char ***list, const char *input, const char *output);

#ifdef __cplusplus
}
#endif

#endif /* CMDLINE_H */
