// One public name per object file: see xalloc_internal.h.
#include "cmdkit.h"
#include "xalloc_internal.h"

extern "C" void *xrealloc(void *block, size_t size) {
    return cmdkit::internal::checked_realloc(block, size);
}
