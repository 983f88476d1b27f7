/* Preloaded into cmdkit-demo by the driver tests (glibc hosts only) to make
 * one C library allocation fail in the running program: the first request
 * of exactly the size named by CMDKIT_FAIL_MALLOC, CMDKIT_FAIL_REALLOC or
 * CMDKIT_FAIL_STRDUP (for strdup, the copy's size with its NUL) is refused.
 * Everything else is passed on to glibc. */
#define _GNU_SOURCE
#include <stdlib.h>
#include <string.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_realloc(void *block, size_t size);

static int refuse(const char *variable, size_t size) {
    const char *value = getenv(variable);
    return value != NULL && strtoull(value, NULL, 10) == size;
}

void *malloc(size_t size) {
    return refuse("CMDKIT_FAIL_MALLOC", size) ? NULL : __libc_malloc(size);
}

void *realloc(void *block, size_t size) {
    return refuse("CMDKIT_FAIL_REALLOC", size) ? NULL : __libc_realloc(block, size);
}

char *strdup(const char *s) {
    size_t size = strlen(s) + 1;
    if (refuse("CMDKIT_FAIL_STRDUP", size))
        return NULL;
    char *copy = __libc_malloc(size);
    if (copy != NULL)
        memcpy(copy, s, size);
    return copy;
}
