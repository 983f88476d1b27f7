/* cmdkit-demo's lookup loop with the library's traces silenced, the way a
 * program embedding cmdkit runs it: the lookup's own cost, to be held
 * against the floor of its existence tests.  Reads lines from standard
 * input and prints one result per line, as cmdkit-demo does. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>

#include "cmdline.h"

int main(void) {
    static char buffer[64 * 1024];
    char *line = NULL;
    size_t capacity = 0;
    ssize_t length;
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    cmdkit_set_trace(NULL, NULL);
    while ((length = getline(&line, &capacity, stdin)) >= 0) {
        char *app_name = NULL;
        char *new_cmd = NULL;
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = '\0';
        look_for_cmd(line, &app_name, &new_cmd);
        if (app_name != NULL)
            printf("app: %s, cmd: %s\n", app_name, new_cmd != NULL ? new_cmd : "(null)");
        else
            printf("App not found, cmd: %s\n", new_cmd != NULL ? new_cmd : "(null)");
        free(app_name);
        free(new_cmd);
    }
    free(line);
    return 0;
}
