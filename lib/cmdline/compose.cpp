#include "cmdkit.h"
#include "cmdline.h"
#include "cmdline_internal.h"
#include "platform.h"

#include <cstdlib>

namespace {

// Joins `text`, `separator` and `piece`, releasing the two owned strings.
char *append_owned(char *text, const char *separator, char *piece) {
    char *joined = concat3(text, separator, piece);
    std::free(text);
    std::free(piece);
    return joined;
}

} // namespace

bool holds_white_space(const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        if (is_white_space(*p))
            return true;
    }
    return false;
}

// Only white space is protected: quotes, backslashes and operator characters
// inside the argument pass through as they are, and an empty argument stays
// empty rather than becoming "".
char *quote_arg(const char *arg) {
    if (holds_white_space(arg))
        return concat3("\"", arg, "\"");
    return xstrdup(arg);
}

extern "C" char *argv_to_cmdline(char **argv) {
    if (argv == nullptr)
        return nullptr;
    if (argv[0] == nullptr)
        return xstrdup("");
    char *text = quote_arg(argv[0]);
    for (char **entry = argv + 1; *entry != nullptr; ++entry)
        text = append_owned(text, " ", quote_arg(*entry));
    return text;
}

extern "C" char *pipeline_to_cmdline(char ***list, const char *input, const char *output) {
    if (list == nullptr || list[0] == nullptr)
        return nullptr;
    // The parsed form does not remember where `<` stood, so it is written
    // after the first command, the one place it is always accepted.
    char *text = argv_to_cmdline(list[0]);
    if (input != nullptr)
        text = append_owned(text, " < ", quote_arg(input));
    for (char ***command = list + 1; *command != nullptr; ++command)
        text = append_owned(text, " | ", argv_to_cmdline(*command));
    if (output != nullptr)
        text = append_owned(text, " > ", quote_arg(output));
    return text;
}
