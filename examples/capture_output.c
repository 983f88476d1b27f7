/* Starts a pipeline built from data and reads what it writes. */
#include <stdio.h>

#include <cmdkit/cmdrun.h>

int main(void) {
    char *upper[] = {"upper", NULL};
    char *count[] = {"count", NULL};
    char **commands[] = {upper, count, NULL};
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    pipeline.commands = commands;
    pipeline.count = 2;
    pipeline.input = "lines.txt";
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.flags = CMDKIT_START_CAPTURE_OUTPUT;
    cmdkit_process *process = NULL;
    if (cmdkit_start(&pipeline, &options, &process, NULL) != 0) {
        perror("cmdkit_start");
        return 1;
    }
    char buffer[4096];
    ptrdiff_t got;
    while ((got = cmdkit_read_output(process, buffer, sizeof buffer, 60000)) > 0)
        fwrite(buffer, 1, (size_t)got, stdout);
    int waited = cmdkit_wait(process, 60000);
    cmdkit_exit exit;
    cmdkit_exit_status(process, 1, &exit);
    cmdkit_free_process(process);
    return got == 0 && waited == 0 && exit.code == 0 ? 0 : 1;
}
