/* Parses a pipeline, composes it back into text, and finds a program. */
#include <stdio.h>
#include <stdlib.h>

#include "cmdline.h"

/* Everything the parser returns is the caller's: strings, vectors, list. */
static void free_pipeline(char ***list) {
    if (list == NULL)
        return;
    for (char ***command = list; *command != NULL; ++command) {
        for (char **argument = *command; *argument != NULL; ++argument)
            free(*argument);
        free(*command);
    }
    free(list);
}

int main(void) {
    char *input = NULL;
    char *output = NULL;
    int count = 0;
    char ***list = parse_cmdline("tool \"a b\" | sort > out.txt", &input, &output, &count);
    if (list == NULL)
        return 1; /* the reason is on standard error */
    printf("%d commands\n", count);
    print_pipeline(list, input, output, NULL);

    char *text = pipeline_to_cmdline(list, input, output);
    printf("composed: %s\n", text);
    free(text);
    free_pipeline(list);
    free(input);
    free(output);

    char *app_name = NULL;
    char *new_cmd = NULL;
    if (look_for_cmd("tool x y", &app_name, &new_cmd))
        printf("app: %s\ncmd: %s\n", app_name ? app_name : "(none)", new_cmd ? new_cmd : "(none)");
    free(app_name);
    free(new_cmd);
    return 0;
}
