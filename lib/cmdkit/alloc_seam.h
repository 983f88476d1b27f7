// Test builds (CMDKIT_ALLOC_SEAM) route the checked allocators through these
// pointers so a test can make the C library fail on demand; release builds
// call the C library directly and do not have this table.
#ifndef CMDKIT_ALLOC_SEAM_H
#define CMDKIT_ALLOC_SEAM_H

#include <stddef.h>

struct cmdkit_crt_heap {
    void *(*malloc_fn)(size_t size);
    void *(*realloc_fn)(void *block, size_t size);
    char *(*strdup_fn)(const char *s);
};

#ifdef CMDKIT_ALLOC_SEAM
extern "C" cmdkit_crt_heap cmdkit_heap;
#endif

#endif
