#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"

using namespace cmdkit::internal;

namespace {

// Only white space is protected: quotes, backslashes and operator characters
// inside the argument pass through as they are, and an empty argument stays
// empty rather than becoming "".
void put_quoted_if_needed(text_sink &sink, const char *argument) {
    put_maybe_quoted(sink, argument, holds_white_space(argument));
}

void put_arguments(text_sink &sink, char **argv) {
    for (char **entry = argv; *entry != nullptr; ++entry) {
        if (entry != argv)
            sink.put(' ');
        put_quoted_if_needed(sink, *entry);
    }
}

// The parsed form does not remember where `<` stood, so it is written after
// the first command, the one place it is always accepted.
void put_pipeline(text_sink &sink, char ***list, const char *input, const char *output) {
    put_arguments(sink, list[0]);
    if (input != nullptr) {
        sink.put(" < ");
        put_quoted_if_needed(sink, input);
    }
    for (char ***command = list + 1; *command != nullptr; ++command) {
        sink.put(" | ");
        put_arguments(sink, *command);
    }
    if (output != nullptr) {
        sink.put(" > ");
        put_quoted_if_needed(sink, output);
    }
}

} // namespace

namespace cmdkit::internal {

bool holds_white_space(const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        if (is_white_space(*p))
            return true;
    }
    return false;
}

char *quote_arg(const char *arg) {
    return measure_then_write([arg](text_sink &sink) { put_quoted_if_needed(sink, arg); });
}

} // namespace cmdkit::internal

// Both compositions measure the whole text first and then write it into one
// block, so their cost grows with the length of the text alone.
extern "C" char *argv_to_cmdline(char **argv) {
    if (argv == nullptr)
        return nullptr;
    return measure_then_write([argv](text_sink &sink) { put_arguments(sink, argv); });
}

extern "C" char *pipeline_to_cmdline(char ***list, const char *input, const char *output) {
    if (list == nullptr || list[0] == nullptr)
        return nullptr;
    return measure_then_write([&](text_sink &sink) { put_pipeline(sink, list, input, output); });
}
