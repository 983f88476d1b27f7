/* libuv's side of the start race: `libuv MODE N PROGRAM` with uv_spawn, the
 * standard streams inherited (run) or output and errors read through two
 * pipes and the input the null device (capture), one loop run per call. */
#include "timing.h"

#include <stdlib.h>
#include <string.h>
#include <uv.h>

struct call {
    int64_t status;
    int open;
    char buffer[65536];
};

static void on_exit_(uv_process_t *process, int64_t status, int signal) {
    struct call *call = process->data;
    call->status = status != 0 || signal != 0 ? 1 : 0;
    uv_close((uv_handle_t *)process, NULL);
}

static void on_alloc(uv_handle_t *handle, size_t size, uv_buf_t *buffer) {
    struct call *call = handle->data;
    (void)size;
    *buffer = uv_buf_init(call->buffer, sizeof call->buffer);
}

static void on_read(uv_stream_t *stream, ssize_t count, const uv_buf_t *buffer) {
    (void)buffer;
    if (count < 0)
        uv_close((uv_handle_t *)stream, NULL);
}

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    const int capture = strcmp(argv[1], "capture") == 0;
    const long calls = atol(argv[2]);
    char *args[] = {argv[3], NULL};
    uv_loop_t *loop = uv_default_loop();
    struct timing begun = timing_now();
    for (long i = 0; i < calls; ++i) {
        struct call call = {-1, 0, {0}};
        uv_process_t process;
        uv_pipe_t pipes[2];
        uv_stdio_container_t stdio[3];
        stdio[0].flags = capture ? UV_IGNORE : UV_INHERIT_FD;
        stdio[0].data.fd = 0;
        for (int k = 0; k < 2; ++k) {
            if (capture) {
                uv_pipe_init(loop, &pipes[k], 0);
                pipes[k].data = &call;
                stdio[1 + k].flags = UV_CREATE_PIPE | UV_WRITABLE_PIPE;
                stdio[1 + k].data.stream = (uv_stream_t *)&pipes[k];
            } else {
                stdio[1 + k].flags = UV_INHERIT_FD;
                stdio[1 + k].data.fd = 1 + k;
            }
        }
        uv_process_options_t options;
        memset(&options, 0, sizeof options);
        options.file = argv[3];
        options.args = args;
        options.exit_cb = on_exit_;
        options.stdio_count = 3;
        options.stdio = stdio;
        process.data = &call;
        if (uv_spawn(loop, &process, &options) != 0)
            return 1;
        for (int k = 0; capture && k < 2; ++k)
            uv_read_start((uv_stream_t *)&pipes[k], on_alloc, on_read);
        uv_run(loop, UV_RUN_DEFAULT);
        if (call.status != 0)
            return 1;
    }
    print_per_call(begun, calls);
    return 0;
}
