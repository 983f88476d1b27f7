#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"

int semicolon_is_separator = 0;

namespace cmdkit::internal {

namespace {

bool is_quote(char c) {
    return c == '"' || c == '\'';
}

// Narrower than white space: a carriage return, vertical tab or form feed
// inside a word belongs to the word.
bool ends_word(char c) {
    switch (c) {
    case '\0':
    case '<':
    case '>':
    case '|':
    case ' ':
    case '\t':
    case '\n':
        return true;
    case ';':
        return semicolon_is_separator != 0;
    default:
        return false;
    }
}

// A backslash escapes only what would otherwise end or open something: a
// quote, or the separator while it is on.  Before anything else it is an
// ordinary character, so Windows paths keep their backslashes.
bool is_escapable(char c) {
    return is_quote(c) || (c == ';' && semicolon_is_separator != 0);
}

// Per-byte flags for the hot loops: most of a line is plain word text, or
// plain text inside quotes, and a table lookup decides that in one step.
enum : unsigned char {
    stops_word_run = 1, // needs a decision inside a word (the `;` too, since
                        // the separator setting can make it one)
    stops_copy_run = 2, // a quote or a backslash, which quote removal and the
                        // end of a quoted region look at (and the NUL, which
                        // no word holds)
};

struct byte_flags {
    unsigned char flags[256] = {};
    constexpr byte_flags() {
        const char word_stops[] = "<>| \t\n\"'\\;";
        const char copy_stops[] = "\"'\\";
        flags[0] = stops_word_run | stops_copy_run;
        for (size_t i = 0; word_stops[i] != '\0'; ++i)
            flags[static_cast<unsigned char>(word_stops[i])] |= stops_word_run;
        for (size_t i = 0; copy_stops[i] != '\0'; ++i)
            flags[static_cast<unsigned char>(copy_stops[i])] |= stops_copy_run;
    }
    constexpr bool has(char c, unsigned char flag) const {
        return (flags[static_cast<unsigned char>(c)] & flag) != 0;
    }
};

constexpr byte_flags byte_table;

// Returns the closing quote of the region opened at `open`, or the NUL that
// ends the text first.  Inside the region only an escaped quote of either
// kind is special, so "a\"b" stays one region.
const char *closing_quote(const char *open) {
    const char quote = *open;
    const char *p = open + 1;
    for (;;) {
        while (!byte_table.has(*p, stops_copy_run))
            ++p;
        if (*p == '\0' || *p == quote)
            return p;
        p += *p == '\\' && is_quote(p[1]) ? 2 : 1;
    }
}

} // namespace

int next_token(const char *text, const char **start, const char **end) {
    const char *p = text;
    while (is_white_space(*p))
        ++p;
    *start = p;

    // Operators are recognized only where a token starts; inside a word they
    // end it and are read by the next call.  Quotes and escapes, by contrast,
    // may open anywhere and join the text around them into one word.
    bool in_word = false;
    for (;; ++p) {
        if (in_word) {
            while (!byte_table.has(*p, stops_word_run))
                ++p;
        }
        const char c = *p;
        *end = p + 1;
        if (in_word && ends_word(c)) {
            *end = p;
            return TOKEN_WORD;
        }
        switch (c) {
        case '\0':
            *end = p;
            return TOKEN_END;
        case '"':
        case '\'':
            p = closing_quote(p);
            *end = p;
            if (*p == '\0')
                return TOKEN_UNMATCHED_QUOTE;
            in_word = true;
            break;
        case ';':
            if (semicolon_is_separator != 0)
                return TOKEN_SEPARATOR;
            in_word = true;
            break;
        case '<':
            return TOKEN_REDIRECT_IN;
        case '>':
            if (p[1] == '>') {
                *end = p + 2;
                return TOKEN_REDIRECT_APPEND;
            }
            return TOKEN_REDIRECT_OUT;
        case '|':
            return TOKEN_PIPE;
        case '\\':
            if (is_escapable(p[1]))
                ++p;
            in_word = true;
            break;
        default:
            in_word = true;
            break;
        }
    }
}

char *unquote_word(char *destination, const char *begin, const char *end) {
    char *out = destination;
    for (const char *p = begin; p < end; ++p) {
        while (p < end && !byte_table.has(*p, stops_copy_run))
            *out++ = *p++;
        if (p == end)
            break;
        if (is_quote(*p))
            continue;
        if (p + 1 < end && is_escapable(p[1]))
            ++p;
        *out++ = *p;
    }
    *out = '\0';
    return destination;
}

} // namespace cmdkit::internal
