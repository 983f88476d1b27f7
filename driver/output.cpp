#include "output.h"

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// The cause of a failed flush, or 0.  A stream can also carry an error from
// a write stdio made earlier on its own (a full buffer); errno no longer
// tells what that was, so it is reported as an I/O error.
int flush_failure(std::FILE *stream) {
    errno = 0;
    if (std::fflush(stream) != 0)
        return errno != 0 ? errno : EIO;
    return std::ferror(stream) != 0 ? EIO : 0;
}

[[noreturn]] void exit_reporting(const char *what, int error) {
    std::fputs("cmdkit-demo: ", stderr);
    std::fputs(what, stderr);
    std::fputs(": ", stderr);
    std::fputs(std::strerror(error), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::exit(exit_stream_failure);
}

} // namespace

void buffer_streams_for_throughput() {
    static char output_buffer[64 * 1024];
    static char error_buffer[64 * 1024];
    if (!platform_is_terminal(1))
        std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    if (!platform_is_terminal(2))
        std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
}

void flush_or_exit() {
    if (int error = flush_failure(stdout))
        exit_reporting("cannot write standard output", error);
    // Standard error failing leaves nowhere to say so; the status tells.
    if (flush_failure(stderr) != 0)
        std::exit(exit_stream_failure);
}

void exit_after_read_error(int error) {
    flush_or_exit();
    exit_reporting("cannot read standard input", error);
}
