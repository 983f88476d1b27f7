#include "xalloc_internal.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

size_t length_of(const char *piece) {
    return piece == nullptr ? 0 : std::strlen(piece);
}

// Saturates instead of wrapping, so an impossible total reaches the
// allocator as a request it cannot serve and ends in its usual message.
size_t add_sizes(size_t a, size_t b) {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

char *append(char *cursor, const char *piece, size_t length) {
    if (length != 0)
        std::memcpy(cursor, piece, length);
    return cursor + length;
}

} // namespace

namespace cmdkit::internal {

char *join_pieces(const char *const *pieces, size_t count) {
    size_t total = 1;
    for (size_t i = 0; i < count; ++i)
        total = add_sizes(total, length_of(pieces[i]));
    char *result = static_cast<char *>(checked_malloc(total));
    char *cursor = result;
    for (size_t i = 0; i < count; ++i)
        cursor = append(cursor, pieces[i], length_of(pieces[i]));
    *cursor = '\0';
    return result;
}

// Two passes over the pieces: measure, allocate once, then copy.
char *join_list(const char *first, va_list rest) {
    if (first == nullptr)
        return nullptr;
    va_list pieces;
    va_copy(pieces, rest);
    size_t total = add_sizes(1, std::strlen(first));
    for (const char *piece = va_arg(pieces, const char *); piece != nullptr;
         piece = va_arg(pieces, const char *))
        total = add_sizes(total, std::strlen(piece));
    va_end(pieces);

    char *result = static_cast<char *>(checked_malloc(total));
    char *cursor = append(result, first, std::strlen(first));
    for (const char *piece = va_arg(rest, const char *); piece != nullptr;
         piece = va_arg(rest, const char *))
        cursor = append(cursor, piece, std::strlen(piece));
    *cursor = '\0';
    return result;
}

} // namespace cmdkit::internal
