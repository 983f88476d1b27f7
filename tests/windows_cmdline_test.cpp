#include "cmdline.h"
#include "support/names.h"
#include "support/results.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace {

struct quoting_case {
    const char *why;
    std::vector<std::string> argv; // entry 0 is the program name
    std::optional<std::string> line;
    int error = 0; // errno when there is no line
};

std::optional<std::string> compose_for_windows(const std::vector<std::string> &argv) {
    std::vector<char *> pointers;
    for (const std::string &argument : argv)
        pointers.push_back(const_cast<char *>(argument.c_str()));
    pointers.push_back(nullptr);
    return testing_support::take_string(argv_to_windows_cmdline(pointers.data()));
}

class WindowsComposition : public testing::TestWithParam<quoting_case> {};

TEST_P(WindowsComposition, GivesTheLineTheCRuntimeSplitsBack) {
    const quoting_case &c = GetParam();
    errno = 0;
    EXPECT_EQ(compose_for_windows(c.argv), c.line) << c.why;
    if (!c.line) {
        EXPECT_EQ(errno, c.error) << c.why;
    }
}

const std::string longest_argument(32766 - 2, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsComposition,
    testing::Values(
        quoting_case{"a quote is escaped inside added quotes", {"p", "a\"b"}, "p \"a\\\"b\""},
        quoting_case{"a backslash before a quote is doubled, then the quote escaped",
                     {"p", "a\\\"b"},
                     "p \"a\\\\\\\"b\""},
        quoting_case{"a run at the end is doubled before the closing quote",
                     {"p", "C:\\my dir\\"},
                     "p \"C:\\my dir\\\\\""},
        quoting_case{
            "backslashes elsewhere stay as they are", {"p", "a\\\\b", "\\"}, "p a\\\\b \\"},
        quoting_case{"an empty argument is a pair of quotes", {"p", "", "x"}, "p \"\" x"},
        quoting_case{"tab, line feed and vertical tab are quoted like a space",
                     {"p", "a\tb", "c\nd", "e\vf", "g h"},
                     "p \"a\tb\" \"c\nd\" \"e\vf\" \"g h\""},
        quoting_case{"other control bytes and bytes above 0x7F need no quotes",
                     {"p", "a\fb\rc", "\xE9\xA0\xFF"},
                     "p a\fb\rc \xE9\xA0\xFF"},
        quoting_case{"the program name is quoted without escapes",
                     {"C:\\my dir\\", "x"},
                     "\"C:\\my dir\\\" x"},
        quoting_case{"an empty program name is a pair of quotes", {""}, "\"\""},
        quoting_case{
            "a program name with a quote has no spelling", {"a\"b", "x"}, std::nullopt, EINVAL},
        quoting_case{"a line of 32,766 bytes fits CreateProcess",
                     {"p", longest_argument},
                     "p " + longest_argument},
        quoting_case{"one byte more does not", {"p", longest_argument + "x"}, std::nullopt, E2BIG},
        quoting_case{"the quotes count towards the limit",
                     {"p", longest_argument.substr(2) + " "},
                     std::nullopt,
                     E2BIG}),
    testing_support::name_from_why<quoting_case>);

TEST(WindowsComposition, NullAndEmptyVectors) {
    errno = 0;
    EXPECT_EQ(argv_to_windows_cmdline(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    char *empty[] = {nullptr};
    EXPECT_EQ(testing_support::take_string(argv_to_windows_cmdline(empty)), "");
}

} // namespace
