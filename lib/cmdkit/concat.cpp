#include "cmdkit.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

size_t length_of(const char *piece) {
    return piece == nullptr ? 0 : std::strlen(piece);
}

// Saturates instead of wrapping, so an impossible total reaches xmalloc as a
// request it cannot serve and ends in its usual failure message.
size_t add_sizes(size_t a, size_t b) {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

char *append(char *cursor, const char *piece, size_t length) {
    if (length != 0)
        std::memcpy(cursor, piece, length);
    return cursor + length;
}

char *join(const char *const *pieces, size_t count) {
    size_t total = 1;
    for (size_t i = 0; i < count; ++i)
        total = add_sizes(total, length_of(pieces[i]));
    char *result = static_cast<char *>(xmalloc(total));
    char *cursor = result;
    for (size_t i = 0; i < count; ++i)
        cursor = append(cursor, pieces[i], length_of(pieces[i]));
    *cursor = '\0';
    return result;
}

} // namespace

extern "C" char *concat2(const char *a, const char *b) {
    const char *pieces[] = {a, b};
    return join(pieces, 2);
}

extern "C" char *concat3(const char *a, const char *b, const char *c) {
    const char *pieces[] = {a, b, c};
    return join(pieces, 3);
}

extern "C" char *concatn(const char *first, ...) {
    if (first == nullptr)
        return nullptr;

    // Two passes over the arguments: measure, allocate once, then copy.
    std::va_list args;
    va_start(args, first);
    size_t total = add_sizes(1, std::strlen(first));
    for (const char *piece = va_arg(args, const char *); piece != nullptr;
         piece = va_arg(args, const char *))
        total = add_sizes(total, std::strlen(piece));
    va_end(args);

    char *result = static_cast<char *>(xmalloc(total));
    char *cursor = append(result, first, std::strlen(first));
    va_start(args, first);
    for (const char *piece = va_arg(args, const char *); piece != nullptr;
         piece = va_arg(args, const char *))
        cursor = append(cursor, piece, std::strlen(piece));
    va_end(args);
    *cursor = '\0';
    return result;
}
