/* Parses a pipeline, composes it back into text, and finds a program. */
#include <stdio.h>
#include <stdlib.h>

#include <cmdkit/cmdline.h>

int main(void) {
    char *input = NULL;
    char *output = NULL;
    int count = 0;
    char ***list = parse_cmdline("tool \"a b\" | sort > out.txt", &input, &output, &count);
    if (list == NULL) {
        /* The reason is on standard error; a target parsed before it is ours. */
        free(input);
        free(output);
        return 1;
    }
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
