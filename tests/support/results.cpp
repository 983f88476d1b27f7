#include "results.h"

#include "cmdline.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace testing_support {

std::optional<std::string> take_string(char *text) {
    if (text == nullptr)
        return std::nullopt;
    std::string value = text;
    std::free(text);
    return value;
}

lookup_outcome look_up(const std::string &line, const void *options) {
    char *app_name = reinterpret_cast<char *>(0x1);
    char *new_cmd = reinterpret_cast<char *>(0x1);
    captured_trace trace;
    int result = look_for_cmd_ex(line.c_str(), static_cast<const cmdkit_lookup_options *>(options),
                                 &app_name, &new_cmd);
    return {result, take_string(app_name), take_string(new_cmd), trace.text};
}

captured_trace::captured_trace() {
    cmdkit_set_trace(
        [](void *context, const char *text, size_t length) {
            EXPECT_TRUE(text[length] == '\0' && length > 0 &&
                        (text[length - 1] == '\n' ||
                         (text[0] >= 'A' && text[0] <= 'Z' && text[length - 1] == '.')))
                << text;
            static_cast<captured_trace *>(context)->text.append(text, length);
        },
        this);
}

captured_trace::~captured_trace() {
    cmdkit_set_trace(cmdkit_trace_to_stderr, nullptr);
}

} // namespace testing_support
