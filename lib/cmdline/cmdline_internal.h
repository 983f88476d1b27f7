// Parts of the library shared between its source files and reachable by the
// tests, but not part of the public interface.  They live in their own
// namespace so that a program linking the static library can use the same
// names for its own functions.
#ifndef CMDLINE_INTERNAL_H
#define CMDLINE_INTERNAL_H

#include <stddef.h>
#include <string.h>

struct cmdkit_lookup_options;

namespace cmdkit::internal {

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
void text_truncate(text_buffer &buffer, size_t length);
void text_append(text_buffer &buffer, const char *piece);
void text_release(text_buffer &buffer);
// Makes room for `length` more bytes and the NUL.
void text_make_room(text_buffer &buffer, size_t length);

// Inline: the traces append several pieces to every line they write.
inline void text_append(text_buffer &buffer, const char *piece, size_t length) {
    if (buffer.capacity - buffer.length <= length)
        text_make_room(buffer, length);
    memcpy(buffer.data + buffer.length, piece, length);
    buffer.length += length;
    buffer.data[buffer.length] = '\0';
}

// Measures a text while `out` is null and writes it once `out` points at
// storage of the measured size, so that one piece of code does both passes
// and they can never disagree.  The count saturates instead of wrapping: an
// impossible total reaches checked_malloc as a request it refuses.
struct text_sink {
    char *out = nullptr;
    size_t length = 0;

    void put(char c, size_t count = 1);
    void put(const char *text, size_t count);
    void put(const char *text);
};

// The length of what `compose(sink)` writes, and that text in a new block
// from checked_malloc of the measured length and a NUL.
template <typename Compose> size_t measured_length(Compose compose);
template <typename Compose> char *write_measured(Compose compose, size_t length);
template <typename Compose> char *measure_then_write(Compose compose) {
    return write_measured(compose, measured_length(compose));
}

// `text` as it stands, in double quotes when `quoted`.
void put_maybe_quoted(text_sink &sink, const char *text, bool quoted);

// `argument` in double quotes for a C runtime's splitter, which reads
// backslashes literally except before a double quote: 2n backslashes and a
// quote give n backslashes and end the quoted text.  So a run before a
// quote, or before the closing quote, is doubled; `escaped_quote` then
// stands for the quote, and `put_other` writes every other character.
void put_quoted_for_c_runtime(text_sink &sink, const char *argument, const char *escaped_quote,
                              void (*put_other)(text_sink &, char));

// `argv` composed by `compose` into a new string, or null with errno E2BIG
// when the text takes more than `longest` UTF-16 units.
char *compose_within(void (*compose)(text_sink &, char **), char **argv, size_t longest);

// True while a trace sink is installed and this thread's traces are not
// held; nothing needs formatting otherwise.
bool tracing();
// True when a message (a refusal, say) would reach a sink or a holder.
bool messages_wanted();

// Hands `text` to the trace sink as one call, when there is one, or to
// this thread's holder.
void trace_text(const char *text, size_t length);
void trace_text(const char *text);
// Hands `text` to the trace sink whatever is held: a function's own message.
void send_message(const char *text, size_t length);

// While one lives, this thread's traces are held: the step traces are not
// even made, and every text that would reach the sink is kept instead, the
// last one in last(), so that a function built on others sends the sink
// one message of its own.  With `passes` the texts also reach the sink.
class held_traces {
  public:
    explicit held_traces(bool passes);
    ~held_traces();
    held_traces(const held_traces &) = delete;
    held_traces &operator=(const held_traces &) = delete;
    const char *last() const; // "" when nothing came

  private:
    friend bool tracing();
    friend void trace_text(const char *text, size_t length);
    held_traces *previous_;
    bool passes_;
    text_buffer last_;
};

// One trace line assembled from pieces and handed to the sink whole.  The
// storage is kept from line to line, so a caller that traces many lines
// allocates once.
class trace_line {
  public:
    trace_line() = default;
    ~trace_line();
    trace_line(const trace_line &) = delete;
    trace_line &operator=(const trace_line &) = delete;

    trace_line &put(const char *text, size_t length) {
        text_append(line_, text, length);
        return *this;
    }
    // A null `text` is written as "(null)".
    trace_line &put(const char *text);
    // Makes room for lines of up to `length` bytes, so that they are
    // assembled without growing the storage.
    void reserve(size_t length) { text_make_room(line_, length); }
    // Hands the line to the sink and starts the next one.
    void send();

  private:
    text_buffer line_;
};

// UTF-16 units that `length` bytes of text take once converted: each WTF-8
// sequence counts as its UTF-16 length, any other byte as one unit, as
// CreateProcessW and the command interpreter would count them.
size_t utf16_units(const char *text, size_t length);

// A struct of `size` bytes from a caller that may be built against a later
// version: acceptable when it holds at least the `known` bytes of this one
// and whatever follows them is zero (left unset).
bool acceptable_struct(const void *given, size_t size, size_t known);

// What parse_cmdline does not say, and one rule it does not apply.
struct parse_details {
    bool whole_line = false;             // refuse text after a separator, which would not run
    bool input_on_first_command = false; // refuse a `<` written after the first `|`
    bool append = false;                 // the output target followed `>>`
};
// parse_cmdline with those details.
char ***parse_line(const char *line, char **input, char **output, int *count,
                   parse_details &details);

// Lookup options this version can honour (see look_for_cmd_ex).
bool lookup_options_acceptable(const ::cmdkit_lookup_options *options);

// What find_program found: the path, and the PATH entry it was found
// through (null for the current directory or a name tried as written).
// Both from checked_malloc, for the caller to free.
struct found_program {
    char *path = nullptr;
    char *entry = nullptr;
};

// Looks up the program `name` (a name, not a line) with the search,
// extensions, traces and options of look_for_cmd_ex, in the directories of
// `path` (null: none); the options must already have been accepted.
// Returns false when it is not found, after tracing "NAME not found".
bool find_program(const char *name, const ::cmdkit_lookup_options *options, const char *path,
                  found_program &found);

// Windows path rules, applied the same way on every host.
// A device name such as NUL, CON or COM1 (any case, any extension).
bool is_device_name(const char *segment, size_t length);
// No `/`, no `.` or `..` segment, no segment ending in a dot or a space:
// the system would use the path exactly as written.
bool is_normal_form(const char *path);
// A segment between `\` or `/` separators is a device name.
bool holds_device_segment(const char *path);
// The last segment of `path` once `/` is read as `\`, `.` and `..` are
// resolved and trailing dots and spaces are dropped, as the system cleans a
// name before using it; `length` receives its length (0: none).
const char *last_normalised_segment(const char *path, size_t &length);
// `C:` at the start.
bool has_drive_prefix(const char *path);

} // namespace cmdkit::internal

#include "cmdkit.h"
#include "xalloc_internal.h"

template <typename Compose> size_t cmdkit::internal::measured_length(Compose compose) {
    text_sink measure;
    compose(measure);
    return measure.length;
}

template <typename Compose> char *cmdkit::internal::write_measured(Compose compose, size_t length) {
    text_sink write;
    write.out = static_cast<char *>(
        checked_malloc(length == static_cast<size_t>(-1) ? length : length + 1));
    compose(write);
    write.out[write.length] = '\0';
    return write.out;
}

#endif
