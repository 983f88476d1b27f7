/* Runs a program from data on input from memory, within five seconds. */
#include <stdio.h>
#include <string.h>

#include <cmdkit/cmdrun.h>

int main(void) {
    char *upper[] = {"upper", NULL}; /* the program and its arguments */
    char **commands[] = {upper, NULL};
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    pipeline.commands = commands;
    pipeline.count = 1;
    const char *input = "hello, world\n";
    cmdkit_captured result = CMDKIT_CAPTURED_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    if (cmdkit_capture_pipeline(&pipeline, NULL, input, strlen(input), 0, 5000, &result, &failure) <
        0) {
        fprintf(stderr, "not run: %s\n", failure.message);
        return 1;
    }
    printf("%s%s, exit code %lu\n", result.output,
           result.timed_out ? "stopped at the limit" : "ran", result.status.code);
    cmdkit_clear_captured(&result);
    return 0;
}
