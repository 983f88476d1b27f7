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

std::optional<std::string> compose(char *(*composer)(char **),
                                   const std::vector<std::string> &argv) {
    std::vector<char *> pointers;
    for (const std::string &argument : argv)
        pointers.push_back(const_cast<char *>(argument.c_str()));
    pointers.push_back(nullptr);
    return testing_support::take_string(composer(pointers.data()));
}

void expect_composition(char *(*composer)(char **), const quoting_case &c) {
    errno = 0;
    EXPECT_EQ(compose(composer, c.argv), c.line) << c.why;
    if (!c.line) {
        EXPECT_EQ(errno, c.error) << c.why;
    }
}

class WindowsComposition : public testing::TestWithParam<quoting_case> {};

TEST_P(WindowsComposition, GivesTheLineTheCRuntimeSplitsBack) {
    expect_composition(argv_to_windows_cmdline, GetParam());
}

const std::string longest_argument(32766 - 2, 'x');
// Two UTF-16 units each, four bytes: the limit counts units, not bytes.
std::string emoji(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += "\xF0\x9F\x98\x80";
    return text;
}

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
                     E2BIG},
        quoting_case{"32,766 UTF-16 units of four-byte characters fit",
                     {"p", emoji(16382)},
                     "p " + emoji(16382)},
        quoting_case{"one unit more does not", {"p", emoji(16382) + "x"}, std::nullopt, E2BIG},
        quoting_case{
            "a batch program is refused", {"C:\\x\\RUN.Bat. ", "a"}, std::nullopt, EINVAL}),
    testing_support::name_from_why<quoting_case>);

class BatchComposition : public testing::TestWithParam<quoting_case> {};

TEST_P(BatchComposition, QuotesForTheInterpreterOrRefuses) {
    expect_composition(argv_to_batch_cmdline, GetParam());
}

const std::string interpreter = "cmd.exe /e:ON /v:OFF /d /c \"\"C:\\x\\r.bat\"";
const std::string longest_batch_argument(8191 - interpreter.size() - 2, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchComposition,
    testing::Values(
        quoting_case{"plain words stay bare, the rest is quoted",
                     {"C:\\x\\r.bat", "a-b/c:d", "a&b", "", "a b", "\xC3\xA9"},
                     interpreter + " a-b/c:d \"a&b\" \"\" \"a b\" \"\xC3\xA9\"\""},
        quoting_case{"a percent sign can never pair into a name",
                     {"C:\\x\\r.bat", "100%", "%PATH%"},
                     interpreter + " \"100%%cd:~,%\" \"%%cd:~,%PATH%%cd:~,%\"\""},
        quoting_case{"a quote is doubled, the backslashes before it too",
                     {"C:\\x\\r.bat", "\"", "a\\\"b"},
                     interpreter + " \"\"\"\" \"a\\\\\"\"b\"\""},
        quoting_case{"a trailing backslash run is doubled inside quotes",
                     {"C:\\x\\r.bat", "C:\\dir\\"},
                     interpreter + " \"C:\\dir\\\\\"\""},
        quoting_case{"the path's percent signs and \\\\?\\ prefix",
                     {"\\\\?\\C:\\100%\\x.CMD"},
                     "cmd.exe /e:ON /v:OFF /d /c \"\"C:\\100%%cd:~,%\\x.CMD\"\""},
        quoting_case{"the longest line fits",
                     {"C:\\x\\r.bat", longest_batch_argument},
                     interpreter + " " + longest_batch_argument + "\""},
        quoting_case{"one unit more does not",
                     {"C:\\x\\r.bat", longest_batch_argument + "x"},
                     std::nullopt,
                     E2BIG},
        quoting_case{"no vector", {}, std::nullopt, EINVAL},
        quoting_case{"a line feed in an argument", {"C:\\x\\r.bat", "a\nb"}, std::nullopt, EINVAL},
        quoting_case{"a carriage return in the path", {"C:\\x\\r\r.bat"}, std::nullopt, EINVAL},
        quoting_case{"a quote in the path", {"C:\\x\\\"r.bat"}, std::nullopt, EINVAL},
        quoting_case{"a path ending in a backslash", {"C:\\x.bat\\"}, std::nullopt, EINVAL},
        quoting_case{"a stream name", {"C:\\x\\r.bat::$DATA"}, std::nullopt, EINVAL},
        quoting_case{"a bare name", {"r.bat"}, std::nullopt, EINVAL},
        quoting_case{"not a batch file", {"C:\\x\\r.exe"}, std::nullopt, EINVAL}),
    testing_support::name_from_why<quoting_case>);

TEST(BatchComposition, BatchPathsAreKnownByTheirExtensionInAnyCase) {
    for (const char *path : {"RUN.BAT", "x.cmd. ", "C:\\a b\\x.Bat"})
        EXPECT_EQ(cmdkit_is_batch_path(path), 1) << path;
    for (const char *path : {"x.bat.exe", "x.batx", "bat", ""})
        EXPECT_EQ(cmdkit_is_batch_path(path), 0) << path;
    EXPECT_EQ(cmdkit_is_batch_path(nullptr), 0);
}

TEST(WindowsComposition, NullAndEmptyVectors) {
    errno = 0;
    EXPECT_EQ(argv_to_windows_cmdline(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    char *empty[] = {nullptr};
    EXPECT_EQ(testing_support::take_string(argv_to_windows_cmdline(empty)), "");
}

} // namespace
