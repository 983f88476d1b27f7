/* Runs 20 pipelines from one libuv loop: each pipeline's handles are
 * watched by uv_poll_t, each event is taken with a cmdkit_poll of limit 0,
 * and a pipeline whose handles are all gone has ended and been read.
 * POSIX: uv_poll_t watches descriptors there. */
#include <stdio.h>
#include <string.h>

#include <cmdkit/cmdrun.h>
#include <uv.h>

enum { jobs = 20, most_handles = 4 };

struct job {
    int number;
    cmdkit_process *process;
    uv_poll_t watchers[most_handles];
    intptr_t handles[most_handles]; /* what each watches */
    int watching[most_handles];     /* 1 while the watcher is open */
    int open;                       /* watchers not yet closed */
    char output[256];
    size_t length;
};

static int ran;

static void on_closed(uv_handle_t *handle) {
    struct job *job = handle->data;
    if (--job->open > 0)
        return;
    cmdkit_exit exit;
    cmdkit_exit_status(job->process, 1, &exit);
    char status[64];
    cmdkit_describe_exit(&exit, status, sizeof status);
    printf("job %d: %.*s, %s\n", job->number, (int)strcspn(job->output, "\n"), job->output, status);
    ran += strcmp(job->output, "9 lines\n") == 0 && exit.code == 0;
    cmdkit_free_process(job->process); /* no watcher watches its handles now */
}

/* Stops watching each handle the pipeline no longer lists. */
static void follow(struct job *job) {
    cmdkit_pollable list[most_handles];
    int count = cmdkit_pollables(job->process, list, most_handles);
    for (int i = 0; i < most_handles; ++i) {
        int listed = 0;
        for (int k = 0; k < count; ++k)
            listed |= job->watching[i] && list[k].handle == job->handles[i];
        if (job->watching[i] && !listed) {
            job->watching[i] = 0;
            uv_close((uv_handle_t *)&job->watchers[i], on_closed);
        }
    }
}

static void on_event(uv_poll_t *watcher, int status, int events) {
    (void)status;
    (void)events;
    struct job *job = watcher->data;
    cmdkit_poll_item item = {job->process, CMDKIT_EVENT_OUTPUT | CMDKIT_EVENT_ENDED, 0};
    if (cmdkit_poll(&item, 1, 0) > 0 && (item.events & CMDKIT_EVENT_OUTPUT) != 0) {
        size_t room = sizeof job->output - 1 - job->length;
        ptrdiff_t got = cmdkit_read_output(job->process, job->output + job->length, room, 0);
        job->length += got > 0 ? (size_t)got : 0;
    }
    follow(job);
}

static int start(uv_loop_t *loop, struct job *job) {
    cmdkit_start_options options = CMDKIT_START_OPTIONS_INIT;
    options.output.kind = CMDKIT_STREAM_PIPE;
    cmdkit_pipeline pipeline = CMDKIT_PIPELINE_INIT;
    cmdkit_failure failure = CMDKIT_FAILURE_INIT;
    if (cmdkit_parse_pipeline("upper < lines.txt | count", &pipeline) != 0 ||
        cmdkit_start(&pipeline, &options, &job->process, &failure) != 0) {
        fprintf(stderr, "job %d not started: %s\n", job->number, failure.message);
        cmdkit_clear_pipeline(&pipeline);
        return -1;
    }
    cmdkit_clear_pipeline(&pipeline);
    cmdkit_pollable list[most_handles];
    int count = cmdkit_pollables(job->process, list, most_handles);
    for (int i = 0; i < count && i < most_handles; ++i) {
        uv_poll_init(loop, &job->watchers[i], (int)list[i].handle);
        job->watchers[i].data = job;
        job->handles[i] = list[i].handle;
        job->watching[i] = 1;
        ++job->open;
        uv_poll_start(&job->watchers[i], list[i].writable ? UV_WRITABLE : UV_READABLE, on_event);
    }
    return count > 0 ? 0 : -1;
}

int main(void) {
    static struct job all[jobs];
    uv_loop_t *loop = uv_default_loop();
    cmdkit_set_trace(NULL, NULL);
    for (int i = 0; i < jobs; ++i) {
        all[i].number = i;
        if (start(loop, &all[i]) != 0)
            return 1;
    }
    uv_run(loop, UV_RUN_DEFAULT);
    printf("%d of %d pipelines ran\n", ran, jobs);
    return ran == jobs ? 0 : 1;
}
