// cmdkit-demo: runs the parser over the built-in samples, then tells for
// each line of standard input which program would be started and how.
#include "cmdline.h"
#include "demonstration.h"
#include "line_reader.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Terminals keep stdio's usual line-by-line behaviour; files and pipes get
// full buffers, flushed whenever we are about to wait for input.
void buffer_streams_for_throughput() {
    static char output_buffer[64 * 1024];
    static char error_buffer[64 * 1024];
    if (!platform_is_terminal(1))
        std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    if (!platform_is_terminal(2))
        std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
}

const char *text_or_null(const char *text) {
    return text != nullptr ? text : "(null)";
}

void report_lookup(const char *line) {
    char *app_name = nullptr;
    char *new_cmd = nullptr;
    // A malformed line leaves both results null; that is reported below like
    // any other line, so the result itself is not needed.
    (void)look_for_cmd(line, &app_name, &new_cmd);
    if (app_name != nullptr)
        std::printf("app: %s, cmd: %s\n", app_name, text_or_null(new_cmd));
    else
        std::printf("App not found, cmd: %s\n", text_or_null(new_cmd));
    std::free(app_name);
    std::free(new_cmd);
}

void run_lookup_loop() {
    line_reader reader;
    while (const char *line = reader.next_line())
        report_lookup(line);
}

} // namespace

int main() {
    buffer_streams_for_throughput();
    run_parser_demonstration();
    run_lookup_loop();
    return 0;
}
