/* cmdkit's side of the start race: `cmdkit MODE N PROGRAM` starts PROGRAM
 * (an absolute path) N times and waits for it (MODE run: cmdkit_run_argv,
 * the standard streams the caller's) or captures its output and errors
 * (MODE capture: cmdkit_capture_argv, the input the null device). */
#include "cmdrun.h"
#include "timing.h"

#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    const int capture = strcmp(argv[1], "capture") == 0;
    const long calls = atol(argv[2]);
    const char *program[] = {argv[3], NULL};
    struct timing begun = timing_now();
    for (long i = 0; i < calls; ++i) {
        cmdkit_exit status = {0, 0};
        cmdkit_captured result = CMDKIT_CAPTURED_INIT;
        int ran = capture ? cmdkit_capture_argv(program, NULL, NULL, 0, 0, -1, &result, NULL)
                          : cmdkit_run_argv(program, NULL, -1, &status, NULL);
        status = capture ? result.status : status;
        cmdkit_clear_captured(&result);
        if (ran != 0 || status.code != 0)
            return 1;
    }
    print_per_call(begun, calls);
    return 0;
}
