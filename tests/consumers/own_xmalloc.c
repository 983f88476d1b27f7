/* A program with an xmalloc of its own, which the library must neither
 * clash with when linked statically nor call in place of its own. */
#include <stdio.h>
#include <stdlib.h>

#include <cmdkit/cmdrun.h>

static int own_calls = 0;

void *xmalloc(size_t size) {
    ++own_calls;
    return malloc(size != 0 ? size : 1);
}

int main(void) {
    cmdkit_set_trace(NULL, NULL);
    char *copy = xstrdup("the library's xstrdup");
    free(xmalloc(8));
    cmdkit_exit status;
    int ran = cmdkit_run("upper < lines.txt | count", NULL, 60000, &status, NULL);
    fflush(stdout);
    printf("%s; own xmalloc called %d time; ran %d, exit code %lu\n", copy, own_calls, ran,
           status.code);
    free(copy);
    return 0;
}
