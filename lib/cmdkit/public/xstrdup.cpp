// One public name per object file: see xalloc_internal.h.
#include "cmdkit.h"
#include "xalloc_internal.h"

extern "C" char *xstrdup(const char *s) {
    return cmdkit::internal::checked_strdup(s);
}
