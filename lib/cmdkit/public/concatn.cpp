// One public name per object file: see xalloc_internal.h.
#include "cmdkit.h"
#include "xalloc_internal.h"

#include <cstdarg>

extern "C" char *concatn(const char *first, ...) {
    va_list rest;
    va_start(rest, first);
    char *joined = cmdkit::internal::join_list(first, rest);
    va_end(rest);
    return joined;
}
