// One public name per object file: see xalloc_internal.h.
#include "cmdkit.h"
#include "xalloc_internal.h"

extern "C" char *concat2(const char *a, const char *b) {
    const char *pieces[] = {a, b};
    return cmdkit::internal::join_pieces(pieces, 2);
}
