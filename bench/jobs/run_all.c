/* cmdkit_run_all's side: `run_all JOBS COUNT PROGRAM` runs the lines
 * "PROGRAM N" for N from 0, each job captured, at most JOBS at once. */
#include "cmdrun.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    const long count = atol(argv[2]);
    char **lines = malloc((size_t)count * sizeof *lines);
    for (long i = 0; i < count; ++i) {
        lines[i] = malloc(strlen(argv[3]) + 24);
        sprintf(lines[i], "\"%s\" %ld", argv[3], i);
    }
    cmdkit_run_all_options options = CMDKIT_RUN_ALL_OPTIONS_INIT;
    options.jobs = (unsigned)atoi(argv[1]);
    const int ran = cmdkit_run_all((const char *const *)lines, (size_t)count, &options, NULL);
    for (long i = 0; i < count; ++i)
        free(lines[i]);
    free(lines);
    return ran == 0 ? 0 : 1;
}
