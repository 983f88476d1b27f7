// The few C runtime services whose spelling or meaning differs between
// Windows and POSIX hosts.  Everything else in the library is plain C++17
// and carries no platform conditionals.
#ifndef CMDKIT_PLATFORM_H
#define CMDKIT_PLATFORM_H

#include <stddef.h>

// True when `path` names an existing file-system entry of any kind, a
// directory included; nothing is opened.  Paths use the Windows backslash as
// directory separator on every host.
bool platform_path_exists(const char *path);

// Case-insensitive comparison of ASCII letters, independent of the locale;
// <0, 0 or >0 like strcmp.
int platform_stricmp(const char *a, const char *b);

// The C runtime's own string copy; null when the heap is exhausted.
char *platform_strdup(const char *s);

// The value of an environment variable, or null when it is unset.
const char *platform_getenv(const char *name);

// Reads up to `size` bytes of standard input (text mode on Windows).
// Returns the count, 0 at end of input, or a negative value on error, with
// errno telling why.
long platform_read_stdin(char *buffer, size_t size);

// True where platform_read_stdin has already turned each carriage return
// and line feed pair into a line feed (Windows' text mode).
extern const bool platform_input_drops_carriage_returns;

// True when the stream with this descriptor (1 or 2) is a terminal.
bool platform_is_terminal(int descriptor);

// White space for every part of the library: space, tab, line feed, vertical
// tab, form feed and carriage return.  Fixed rather than the C library's
// isspace so that a byte above 0x7F is never white space, whatever the locale,
// and a plain char that happens to be negative is still a valid argument.
inline bool is_white_space(char c) {
    switch (static_cast<unsigned char>(c)) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
        return true;
    default:
        return false;
    }
}

#endif
