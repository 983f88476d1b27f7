#include "cmdkit.h"
#include "cmdline_internal.h"
#include "cmdrun.h"
#include "cmdrun_internal.h"
#include "xalloc_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// A target loses its quotes as an argument does.
char *unquoted_target(char *raw) {
    if (raw == nullptr)
        return nullptr;
    const size_t length = std::strlen(raw);
    char *target = unquote_word(static_cast<char *>(checked_malloc(length + 1)), raw, raw + length);
    std::free(raw);
    return target;
}

bool known(const cmdkit_pipeline *pipeline) {
    return pipeline != nullptr && acceptable_struct(pipeline, pipeline->size, sizeof *pipeline);
}

} // namespace

extern "C" int cmdkit_parse_pipeline(const char *line, cmdkit_pipeline *pipeline) {
    if (!known(pipeline)) {
        trace_text("Refused: a pipeline this version does not know.");
        errno = EINVAL;
        return -1;
    }
    const size_t size = pipeline->size;
    *pipeline = cmdkit_pipeline{};
    pipeline->size = size;
    if (line == nullptr) {
        trace_text("No line to parse.");
        errno = EINVAL;
        return -1;
    }
    parse_details details;
    details.whole_line = true;
    details.input_on_first_command = true;
    char *input = nullptr;
    char *output = nullptr;
    int count = 0;
    char ***commands = parse_line(line, &input, &output, &count, details);
    if (commands == nullptr) {
        std::free(input);
        std::free(output);
        errno = EINVAL;
        return -1;
    }
    pipeline->commands = commands;
    pipeline->count = count;
    pipeline->input = unquoted_target(input);
    pipeline->output = unquoted_target(output);
    pipeline->append = details.append ? 1 : 0;
    return 0;
}

extern "C" void cmdkit_clear_pipeline(cmdkit_pipeline *pipeline) {
    if (!known(pipeline))
        return;
    free_pipeline(pipeline->commands);
    std::free(pipeline->input);
    std::free(pipeline->output);
    const size_t size = pipeline->size;
    *pipeline = cmdkit_pipeline{};
    pipeline->size = size;
}

namespace cmdkit::internal {

// The caller's vector is only read, which makes casting away const sound.
bool one_command_pipeline(const char *const *argv, char **list[2], cmdkit_pipeline &pipeline,
                          start_failure &failure) {
    if (argv == nullptr || argv[0] == nullptr)
        return refuse_request(failure,
                              argv == nullptr ? "no argument vector" : "an empty argument vector");
    list[0] = const_cast<char **>(argv);
    list[1] = nullptr;
    pipeline.commands = list;
    pipeline.count = 1;
    return true;
}

} // namespace cmdkit::internal
