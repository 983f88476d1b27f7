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

lookup_outcome look_up(const std::string &line) {
    char *app_name = reinterpret_cast<char *>(0x1);
    char *new_cmd = reinterpret_cast<char *>(0x1);
    testing::internal::CaptureStderr();
    int result = look_for_cmd(line.c_str(), &app_name, &new_cmd);
    std::string trace = testing::internal::GetCapturedStderr();
    return {result, take_string(app_name), take_string(new_cmd), trace};
}

} // namespace testing_support
