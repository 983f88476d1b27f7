#include "cmdline_internal.h"
#include "platform.h"

#include <cstring>

namespace cmdkit::internal {

namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool equals_ignoring_case(const char *text, size_t length, const char *word) {
    const size_t word_length = std::strlen(word);
    if (length != word_length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (ascii_lower(text[i]) != ascii_lower(word[i]))
            return false;
    }
    return true;
}

bool is_dot_segment(const char *segment, size_t length) {
    return (length == 1 && segment[0] == '.') ||
           (length == 2 && segment[0] == '.' && segment[1] == '.');
}

// Calls `visit(begin, length)` for each segment between separators, empty
// ones included; stops early when `visit` returns false.
template <typename Visit> bool each_segment(const char *path, const char *separators, Visit visit) {
    for (const char *begin = path;;) {
        const size_t length = std::strcspn(begin, separators);
        if (!visit(begin, length))
            return false;
        if (begin[length] == '\0')
            return true;
        begin += length + 1;
    }
}

} // namespace

// The names the system gives its devices in every folder.  A name is one of
// them whatever its extension (`nul.txt`) and with spaces before the dot;
// the superscript digits are taken as digits too.
bool is_device_name(const char *segment, size_t length) {
    size_t base = 0;
    while (base < length && segment[base] != '.')
        ++base;
    while (base > 0 && segment[base - 1] == ' ')
        --base;
    static const char *const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *name : fixed) {
        if (equals_ignoring_case(segment, base, name))
            return true;
    }
    const bool numbered = base >= 4 && (equals_ignoring_case(segment, 3, "COM") ||
                                        equals_ignoring_case(segment, 3, "LPT"));
    if (!numbered)
        return false;
    const char *digit = segment + 3;
    const size_t digit_length = base - 3;
    return (digit_length == 1 && digit[0] >= '0' && digit[0] <= '9') ||
           (digit_length == 2 && std::strncmp(digit, "\xC2\xB9", 2) == 0) ||
           (digit_length == 2 && std::strncmp(digit, "\xC2\xB2", 2) == 0) ||
           (digit_length == 2 && std::strncmp(digit, "\xC2\xB3", 2) == 0);
}

// The system cleans a plain path before it uses it: `.` and `..` segments
// are resolved and trailing dots and spaces dropped.  A path it would change
// may reach two readers as two files.
bool is_normal_form(const char *path) {
    if (std::strchr(path, '/') != nullptr)
        return false;
    return each_segment(path, "\\", [](const char *segment, size_t length) {
        if (is_dot_segment(segment, length))
            return false;
        return length == 0 || (segment[length - 1] != '.' && segment[length - 1] != ' ');
    });
}

bool holds_device_segment(const char *path) {
    return !each_segment(path, "\\/", [](const char *segment, size_t length) {
        return !is_device_name(segment, length);
    });
}

// Walking from the end, each `..` cancels the nearest name before it, so the
// first name not cancelled is the last one of the cleaned path.
const char *last_normalised_segment(const char *path, size_t &length) {
    size_t end = std::strlen(path);
    size_t pending_parents = 0;
    while (end > 0) {
        size_t begin = end;
        while (begin > 0 && !is_separator(path[begin - 1]))
            --begin;
        const char *segment = path + begin;
        const size_t segment_length = end - begin;
        end = begin > 0 ? begin - 1 : 0;
        if (segment_length == 0 || (segment_length == 1 && segment[0] == '.'))
            continue;
        if (segment_length == 2 && segment[0] == '.' && segment[1] == '.') {
            ++pending_parents;
        } else if (pending_parents > 0) {
            --pending_parents;
        } else {
            length = segment_length;
            while (length > 0 && (segment[length - 1] == '.' || segment[length - 1] == ' '))
                --length;
            return segment;
        }
    }
    length = 0;
    return path;
}

bool has_drive_prefix(const char *path) {
    return is_ascii_letter(path[0]) && path[1] == ':';
}

} // namespace cmdkit::internal
