/* Runs a program from data on 1 MiB of input, within five seconds. */
#include <stdio.h>

#include <cmdkit/cmdrun.h>

static char input[1 << 20]; /* here all NUL bytes; any bytes will do */

int main(void) {
    const char *argv[] = {"upper", NULL}; /* the program and its arguments */
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    int ran = cmdkit_capture_argv(argv, NULL, input, sizeof input, 0, 5000, &result, &failure);
    if (ran < 0) {
        fprintf(stderr, "not run: %s\n", failure.message);
        return 1;
    }
    char status[64];
    cmdkit_describe_exit(&result.status, status, sizeof status);
    printf("%zu bytes of output, %zu of errors; %s%s\n", result.output_length, result.errors_length,
           status, ran == 1 ? ", stopped at the limit" : "");
    cmdkit_clear_captured(&result);
    return 0;
}
