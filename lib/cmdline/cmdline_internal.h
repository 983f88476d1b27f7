// Parts of the library shared between its source files and reachable by the
// tests, but not part of the public interface.
#ifndef CMDLINE_INTERNAL_H
#define CMDLINE_INTERNAL_H

#include <stddef.h>

// Token kinds; the numbers are fixed because callers have relied on them.
enum token_kind {
    TOKEN_WORD = 1,
    TOKEN_REDIRECT_IN = 2,     // <
    TOKEN_REDIRECT_APPEND = 3, // >>
    TOKEN_REDIRECT_OUT = 4,    // >
    TOKEN_PIPE = 5,            // |
    TOKEN_SEPARATOR = 6,       // ; while semicolon_is_separator is set
    TOKEN_UNMATCHED_QUOTE = 7,
    TOKEN_END = 8,
};

// Reads the token at `text` (after white space).  `*start` receives its first
// character and `*end` one past its last; continue by calling with `*end`.
// Neither ever passes the terminating NUL.
int next_token(const char *text, const char **start, const char **end);

// Copies [begin, end) to `destination` without quotes and escapes, appends a
// NUL and returns `destination`, which must hold end - begin + 1 bytes.
char *unquote_word(char *destination, const char *begin, const char *end);

// A new copy of `arg`, wrapped in double quotes when it holds white space.
char *quote_arg(const char *arg);

// True when `text` holds a white-space character.
bool holds_white_space(const char *text);

// A string that grows through the checked allocators, so running out of
// memory takes the same path as everywhere else in the library.
struct text_buffer {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

void text_clear(text_buffer &buffer);
void text_append(text_buffer &buffer, const char *piece, size_t length);
void text_append(text_buffer &buffer, const char *piece);
void text_release(text_buffer &buffer);

#endif
