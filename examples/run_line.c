/* Runs a line with no command interpreter and reports how it ended. */
#include <stdio.h>

#include <cmdkit/cmdrun.h>

int main(void) {
    cmdkit_exit status;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    int ran = cmdkit_run("upper < lines.txt | count >> counts.txt", NULL, 60000, &status, &failure);
    if (ran < 0) {
        fprintf(stderr, "not run (stage %d): %s\n", failure.stage, failure.message);
        return 1;
    }
    printf("%s, exit code %lu\n", ran == 1 ? "killed at the time limit" : "ran", status.code);
    return 0;
}
