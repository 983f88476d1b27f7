#include "alloc_seam.h"
#include "platform.h"
#include "xalloc_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef CMDKIT_ALLOC_SEAM
cmdkit_crt_heap cmdkit_heap = {std::malloc, std::realloc, cmdkit::internal::platform_strdup};
#endif

namespace {

// The line numbers are part of the messages users and scripts match on; they
// name the allocator, not a place in this file.
constexpr int strdup_line = 26;
constexpr int malloc_line = 36;
constexpr int realloc_line = 46;

void *crt_malloc(size_t size) {
#ifdef CMDKIT_ALLOC_SEAM
    return cmdkit_heap.malloc_fn(size);
#else
    return std::malloc(size);
#endif
}

void *crt_realloc(void *block, size_t size) {
#ifdef CMDKIT_ALLOC_SEAM
    return cmdkit_heap.realloc_fn(block, size);
#else
    return std::realloc(block, size);
#endif
}

char *crt_strdup(const char *s) {
#ifdef CMDKIT_ALLOC_SEAM
    return cmdkit_heap.strdup_fn(s);
#else
    return cmdkit::internal::platform_strdup(s);
#endif
}

// Digits are formatted here rather than with %lld/%zx, whose support differs
// between C runtimes; the buffers hold any 64-bit value with sign and NUL.
// The size is read as the signed integer of the pointer's own width, so an
// impossible request of SIZE_MAX prints -1 on a 32-bit build too, instead
// of 4294967295.
void format_signed_size(size_t size, char (&out)[24]) {
    auto value = static_cast<std::int64_t>(static_cast<std::intptr_t>(size));
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char reversed[24];
    int n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int pos = 0;
    if (value < 0)
        out[pos++] = '-';
    while (n > 0)
        out[pos++] = reversed[--n];
    out[pos] = '\0';
}

void format_address(const void *address, char (&out)[24]) {
    auto value = reinterpret_cast<std::uintptr_t>(address);
    char reversed[24];
    int n = 0;
    do {
        reversed[n++] = "0123456789abcdef"[value % 16];
        value /= 16;
    } while (value != 0);
    int pos = 0;
    while (n > 0)
        out[pos++] = reversed[--n];
    out[pos] = '\0';
}

[[noreturn]] void fail(const char *routine, const char *argument, int line) {
    std::fprintf(stderr, "%s(%s) failed in cmdkit at line %d\n", routine, argument, line);
    std::exit(1);
}

[[noreturn]] void fail_size(const char *routine, size_t size, int line) {
    char digits[24];
    format_signed_size(size, digits);
    fail(routine, digits, line);
}

// A zero-byte request may legally come back null from the C library, which
// would look like exhaustion; one byte is always a valid block to free.
size_t at_least_one(size_t size) {
    return size == 0 ? 1 : size;
}

} // namespace

namespace cmdkit::internal {

void *checked_malloc(size_t size) {
    void *block = crt_malloc(at_least_one(size));
    if (block == nullptr)
        fail_size("malloc", size, malloc_line);
    return block;
}

void *checked_realloc(void *block, size_t size) {
    void *moved = crt_realloc(block, at_least_one(size));
    if (moved == nullptr)
        fail_size("realloc", size, realloc_line);
    return moved;
}

char *checked_strdup(const char *s) {
    if (s == nullptr)
        return nullptr;
    char *copy = crt_strdup(s);
    if (copy == nullptr) {
        char digits[24];
        format_address(s, digits);
        fail("strdup", digits, strdup_line);
    }
    return copy;
}

} // namespace cmdkit::internal
