#include "cmdkit.h"
#include "cmdline_internal.h"
#include "xalloc_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace cmdkit::internal {

namespace {

void reserve(text_buffer &buffer, size_t needed) {
    if (needed <= buffer.capacity)
        return;
    // Doubling keeps appends amortized constant; the saturation only matters
    // for requests no allocator could serve anyway.
    size_t capacity = buffer.capacity < 64 ? 64 : buffer.capacity;
    while (capacity < needed)
        capacity = capacity > SIZE_MAX / 2 ? SIZE_MAX : capacity * 2;
    buffer.data = static_cast<char *>(checked_realloc(buffer.data, capacity));
    buffer.capacity = capacity;
}

size_t saturating_add(size_t a, size_t b) {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

} // namespace

void text_clear(text_buffer &buffer) {
    text_truncate(buffer, 0);
}

void text_truncate(text_buffer &buffer, size_t length) {
    if (length < buffer.length) {
        buffer.length = length;
        buffer.data[length] = '\0';
    }
}

void text_make_room(text_buffer &buffer, size_t length) {
    reserve(buffer, buffer.length > SIZE_MAX - length - 1 ? SIZE_MAX : buffer.length + length + 1);
}

void text_append(text_buffer &buffer, const char *piece) {
    text_append(buffer, piece, std::strlen(piece));
}

void text_release(text_buffer &buffer) {
    std::free(buffer.data);
    buffer = text_buffer{};
}

void text_sink::put(char c, size_t count) {
    if (out != nullptr)
        std::memset(out + length, c, count);
    length = saturating_add(length, count);
}

void text_sink::put(const char *text, size_t count) {
    if (out != nullptr && count != 0)
        std::memcpy(out + length, text, count);
    length = saturating_add(length, count);
}

void text_sink::put(const char *text) {
    put(text, std::strlen(text));
}

} // namespace cmdkit::internal
