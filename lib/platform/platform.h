// The few system services whose spelling or meaning differs between Windows
// and POSIX hosts.  Everything else in the library is plain C++17 and
// carries no platform conditionals.  On Windows this layer is the only code
// that knows the system's encoding: it takes and gives UTF-8 (WTF-8, to be
// exact) and talks to the system through the wide calls.
#ifndef CMDKIT_PLATFORM_H
#define CMDKIT_PLATFORM_H

#include <stddef.h>

namespace cmdkit::internal {

// True when `path` names an existing file-system entry of any kind, a
// directory included; nothing is opened.  Paths use the Windows backslash as
// directory separator on every host.  On Windows a path that is not WTF-8
// names nothing: it is never read in another code page.
bool platform_path_exists(const char *path);

inline int ascii_lower(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
}

// True where CMDKIT_LOOKUP_HOST_RULES applies: the POSIX hosts.
extern const bool platform_has_host_rules;

// True when `path` (as written, `/` separating directories) is a regular
// file the caller may execute.  POSIX hosts only.
bool platform_is_executable_file(const char *path);

// Case-insensitive comparison of ASCII letters, independent of the locale
// (the C runtimes' _stricmp follows it); <0, 0 or >0 like strcmp.
inline int platform_stricmp(const char *a, const char *b) {
    while (*a != '\0' && ascii_lower(*a) == ascii_lower(*b)) {
        ++a;
        ++b;
    }
    return ascii_lower(*a) - ascii_lower(*b);
}

// The C runtime's own string copy; null when the heap is exhausted.
char *platform_strdup(const char *s);

// The value of an environment variable as a new string from xmalloc, which
// the caller frees, or null when the variable is unset.  A variable set to
// the empty string gives "".  On Windows the value is read from the wide
// environment as the system holds it now, and converted to WTF-8.
char *platform_getenv(const char *name);

// Reads up to `size` bytes of standard input: text mode on Windows, where a
// console is read in UTF-16 and handed on as UTF-8.  Returns the count, 0 at
// end of input, or a negative value on error, with errno telling why.  A
// read that would block waits for input.
long platform_read_stdin(char *buffer, size_t size);

// True where platform_read_stdin has already turned each carriage return
// and line feed pair into a line feed (Windows' text mode).
extern const bool platform_input_drops_carriage_returns;

// True when the stream with this descriptor (1 or 2) is a terminal.
bool platform_is_terminal(int descriptor);

// On Windows, a console that standard output or standard error writes to
// shows UTF-8 until the process ends, by whatever way it ends; the console's
// own setting is restored then.  Does nothing elsewhere.
void platform_show_utf8_on_console();

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

#ifdef _WIN32
// A candidate path as the existence test hands it to the system: UTF-16, on
// the stack while it fits MAX_PATH and on the heap beyond.  Past 259 units
// the path is made absolute and given the \\?\ (or \\?\UNC\) prefix, which
// lifts the MAX_PATH limit; that form never leaves this layer.
class system_path {
  public:
    system_path() = default;
    ~system_path();
    system_path(const system_path &) = delete;
    system_path &operator=(const system_path &) = delete;

    // False when `candidate` is not WTF-8 or cannot be made absolute.
    bool assign(const char *candidate);
    const wchar_t *get() const { return units_; }

  private:
    bool make_extended();

    wchar_t local_[260];
    wchar_t *heap_ = nullptr;
    wchar_t *units_ = local_;
};
#endif

} // namespace cmdkit::internal

#endif
