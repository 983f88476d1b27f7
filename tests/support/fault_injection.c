/* Preloaded into cmdkit-demo by the driver tests (glibc hosts only) to make
 * one C library call fail in the running program:
 * - the first allocation of exactly the size named by CMDKIT_FAIL_MALLOC,
 *   CMDKIT_FAIL_REALLOC or CMDKIT_FAIL_STRDUP (for strdup, the copy's size
 *   with its NUL) is refused;
 * - read number CMDKIT_FAIL_READ (counting from 1) from standard input
 *   fails with EIO, and so does read number CMDKIT_FAIL_PIPE_READ from
 *   any other pipe;
 * - with CMDKIT_FAIL_POLL set, the first poll fails with EINTR, as if a
 *   signal had arrived, and says so on standard error.
 * Everything else is passed on to glibc. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

ssize_t read(int descriptor, void *buffer, size_t size) {
    static size_t reads_of_input, reads_of_pipes;
    struct stat kind;
    static ssize_t (*libc_read)(int, void *, size_t);
    if (libc_read == NULL)
        libc_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    const int piped = descriptor != STDIN_FILENO && fstat(descriptor, &kind) == 0 &&
                      S_ISFIFO(kind.st_mode) && refuse("CMDKIT_FAIL_PIPE_READ", ++reads_of_pipes);
    if (piped || (descriptor == STDIN_FILENO && refuse("CMDKIT_FAIL_READ", ++reads_of_input))) {
        errno = EIO;
        return -1;
    }
    return libc_read(descriptor, buffer, size);
}

int poll(struct pollfd *descriptors, nfds_t count, int timeout) {
    static int interrupted;
    static int (*libc_poll)(struct pollfd *, nfds_t, int);
    if (libc_poll == NULL)
        libc_poll = (int (*)(struct pollfd *, nfds_t, int))dlsym(RTLD_NEXT, "poll");
    if (getenv("CMDKIT_FAIL_POLL") != NULL && !interrupted) {
        interrupted = 1;
        static const char marker[] = "poll interrupted\n";
        if (write(STDERR_FILENO, marker, sizeof marker - 1) < 0)
            return -1;
        errno = EINTR;
        return -1;
    }
    return libc_poll(descriptors, count, timeout);
}
