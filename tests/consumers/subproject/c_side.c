/* The C interface from a C file of the parent, in both spellings. */
#include "cmdline.h"
#include <cmdkit/cmdkit.h>

#include <stdlib.h>

int parses_as_commands(const char *line) {
    int count = 0;
    char *output = NULL;
    char ***list = parse_cmdline(line, NULL, &output, &count);
    free_pipeline(list);
    free(output);
    return count;
}
