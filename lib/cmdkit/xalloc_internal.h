// The checked allocators and the string joining the library itself calls.
// The public names of cmdkit.h forward to these, each from an object file
// of its own that nothing in the library needs: a program that defines its
// own xmalloc still links the static library, and the library never calls
// the program's function in its place.
#ifndef CMDKIT_XALLOC_INTERNAL_H
#define CMDKIT_XALLOC_INTERNAL_H

#include <stdarg.h>
#include <stddef.h>

namespace cmdkit::internal {

// xmalloc, xrealloc and xstrdup of cmdkit.h: the same results, the same
// messages and exit on failure.
void *checked_malloc(size_t size);
void *checked_realloc(void *block, size_t size);
char *checked_strdup(const char *s);

// A new string of the `count` pieces in order, a null piece counting as
// empty (concat2, concat3).
char *join_pieces(const char *const *pieces, size_t count);
inline char *join3(const char *a, const char *b, const char *c) {
    const char *pieces[] = {a, b, c};
    return join_pieces(pieces, 3);
}
// `first` and the pieces of `rest` up to a null one (concatn).
char *join_list(const char *first, va_list rest);

} // namespace cmdkit::internal

#endif
