/*
 * cmdkit: checked allocation and string joining.
 *
 * Every block returned here comes from the C library heap and is released
 * by the caller with free().  The allocators never return a null pointer:
 * when the C library cannot serve a request they write one line naming the
 * routine, the request and "cmdkit" to standard error and end the process
 * with exit status 1, after stdio has flushed what was already printed.
 *
 * A program may define its own function of any of these names: the library
 * calls none of them itself, and the static library keeps each in an object
 * file of its own.
 *
 * On Windows every string given to or returned by cmdkit is UTF-8, whatever
 * the process's ANSI code page (see cmdline.h); the functions here join and
 * copy bytes and need not know.  On POSIX hosts strings are plain bytes.
 */
#ifndef CMDKIT_H
#define CMDKIT_H

#include <stddef.h>

/* The release this header belongs to; the build reads its version from here
 * and refuses to configure when the four lines disagree. */
#define CMDKIT_VERSION "1.0.0"
#define CMDKIT_VERSION_MAJOR 1
#define CMDKIT_VERSION_MINOR 0
#define CMDKIT_VERSION_PATCH 0

/*
 * CMDKIT_API marks the functions and data of the public interface.  A shared
 * build exports only these; a program using the shared library on Windows
 * defines CMDKIT_SHARED (the CMake package and cmdkit.pc do it for you).
 */
#if defined(_WIN32) && defined(CMDKIT_SHARED)
#ifdef CMDKIT_BUILDING
#define CMDKIT_API __declspec(dllexport)
#else
#define CMDKIT_API __declspec(dllimport)
#endif
#elif defined(CMDKIT_SHARED) && defined(__GNUC__)
#define CMDKIT_API __attribute__((visibility("default")))
#else
#define CMDKIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A new block of `size` bytes (a request of 0 bytes gets a 1-byte block).
 * On failure: "malloc(SIZE) failed in cmdkit at line 36" and exit(1), SIZE
 * being the request as a signed integer of the pointer's width, so that
 * SIZE_MAX reads -1 on 32-bit and 64-bit builds alike. */
CMDKIT_API void *xmalloc(size_t size);

/* `block` resized to `size` bytes, possibly moved; a null `block` is a fresh
 * allocation and a size of 0 keeps a 1-byte block.  The old pointer must not
 * be used afterwards.  On failure: "realloc(SIZE) failed in cmdkit at line 46"
 * and exit(1); the old block is then left as it was. */
CMDKIT_API void *xrealloc(void *block, size_t size);

/* A fresh copy of the string `s`; null for a null `s`.
 * On failure: "strdup(ADDRESS) failed in cmdkit at line 26" and exit(1),
 * ADDRESS being the address of `s` in lower-case hexadecimal. */
CMDKIT_API char *xstrdup(const char *s);

/* New strings made of the pieces in order, allocated with xmalloc (so a
 * failure ends the process as described there); the caller frees them.
 * A null piece counts as empty.  Nothing is written otherwise. */
CMDKIT_API char *concat2(const char *a, const char *b);
CMDKIT_API char *concat3(const char *a, const char *b, const char *c);

/* A new string of `first` and every further piece, the list ended by a null
 * pointer: concatn("a", "b", (char *)NULL); the caller frees it.  Null when
 * `first` is null, in which case nothing is allocated and the further
 * pieces are not read. */
CMDKIT_API char *concatn(const char *first, ...);

#ifdef __cplusplus
}
#endif

#endif /* CMDKIT_H */
