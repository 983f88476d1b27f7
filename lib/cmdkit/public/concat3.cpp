// One public name per object file: see xalloc_internal.h.
#include "cmdkit.h"
#include "xalloc_internal.h"

extern "C" char *concat3(const char *a, const char *b, const char *c) {
    return cmdkit::internal::join3(a, b, c);
}
