// cmdkit-demo: runs the parser over the built-in samples, then tells for
// each line of standard input which program would be started and how.
#include "cmdline.h"
#include "demonstration.h"
#include "line_reader.h"
#include "output.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

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

// Returns only when the whole input was read; a failed read ends the
// process once the lines before it have been answered.
void run_lookup_loop() {
    line_reader reader(flush_or_exit);
    while (const char *line = reader.next_line())
        report_lookup(line);
    if (reader.read_error() != 0)
        exit_after_read_error(reader.read_error());
}

} // namespace

int main() {
    // What we print is UTF-8 on every host; a Windows console must show it so.
    cmdkit::internal::platform_show_utf8_on_console();
    buffer_streams_for_throughput();
    run_parser_demonstration();
    run_lookup_loop();
    flush_or_exit();
    return 0;
}
