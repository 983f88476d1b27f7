#include "cmdline.h"
#include "support/names.h"
#include "support/results.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
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
std::string repeated(const char *piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}
// Two UTF-16 units each, four bytes: the limit counts units, not bytes.
std::string emoji(size_t count) {
    return repeated("\xF0\x9F\x98\x80", count);
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
        quoting_case{"a batch program is refused", {"C:\\x\\RUN.Bat. ", "a"}, std::nullopt, EINVAL},
        quoting_case{"a name that cleans to a batch file is refused",
                     {"C:\\x\\run.bat\\sub\\..", "a"},
                     std::nullopt,
                     EINVAL},
        quoting_case{"so is the bare extension", {".bat", "x"}, std::nullopt, EINVAL},
        quoting_case{"wildcards are quoted, and a tab in the program name",
                     {"a\tb", "*", "a?c"},
                     "\"a\tb\" \"*\" \"a?c\""},
        // Text that is not WTF-8 counts one unit a byte, whatever it resembles.
        quoting_case{
            "an overlong form", {"p", repeated("\xE0\x82\x80", 10922)}, std::nullopt, E2BIG},
        quoting_case{
            "a lead without continuation", {"p", repeated("\xC3\xC3", 16383)}, std::nullopt, E2BIG},
        quoting_case{
            "past U+10FFFF", {"p", repeated("\xF4\x90\x80\x80", 10000)}, std::nullopt, E2BIG},
        quoting_case{"past U+10FFFF at the limit",
                     {"p", repeated("\xF4\x90\x80\x80", 8191)},
                     "p " + repeated("\xF4\x90\x80\x80", 8191)},
        quoting_case{"U+07FF is one unit",
                     {"p", repeated("\xDF\xBF", 16383)},
                     "p " + repeated("\xDF\xBF", 16383)}),
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
        quoting_case{"wildcards and the interpreter's separators are quoted",
                     {"C:\\x\\r.bat", "*", "a?c", "a,b"},
                     interpreter + " \"*\" \"a?c\" \"a,b\"\""},
        quoting_case{"a verbatim UNC path in any case keeps its two backslashes",
                     {"\\\\?\\Unc\\srv\\share\\r.bat"},
                     "cmd.exe /e:ON /v:OFF /d /c \"\"\\\\srv\\share\\r.bat\"\""},
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
        quoting_case{
            "a carriage return in an argument", {"C:\\x\\r.bat", "a\rb"}, std::nullopt, EINVAL},
        quoting_case{"a carriage return in the path", {"C:\\x\\r\r.bat"}, std::nullopt, EINVAL},
        quoting_case{"a quote in the path", {"C:\\x\\\"r.bat"}, std::nullopt, EINVAL},
        quoting_case{"a path ending in a backslash", {"C:\\x.bat\\"}, std::nullopt, EINVAL},
        quoting_case{"a stream name", {"C:\\x\\r.bat::$DATA"}, std::nullopt, EINVAL},
        quoting_case{"a bare name", {"r.bat"}, std::nullopt, EINVAL},
        quoting_case{"not a batch file", {"C:\\x\\r.exe"}, std::nullopt, EINVAL}),
    testing_support::name_from_why<quoting_case>);

// Each would reach the interpreter as another file than the one named, or
// as a path relative to its current directory.
TEST(BatchComposition, PathsWindowsWouldReadOtherwiseAreRefused) {
    for (const char *path :
         {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x\\run.bat", "\\\\?\\Volume{1}\\x\\run.bat",
          "\\\\?\\Z:\\d\\run.bat.", "\\\\?\\Z:\\d\\run.bat ", "\\\\?\\C:\\x\\nul.txt\\r.bat",
          "\\\\?\\C:\\x\\COM\xC2\xB9\\r.bat", "\\??\\C:\\x\\r.bat", "\\\\.\\C:\\x\\r.bat",
          "C:\\x\\run.bat\\.", "C:\\x/r.bat", "C:\\x\\..\\r.bat", "C:\\x.\\r.bat", "C:\\x \\r.bat",
          "1:\\x\\r.bat", "C:\\x:y\\r.bat",
          // Drive-relative once the prefix went; a device with a space.
          "\\\\?\\C:sub\\run.bat", "\\\\?\\C:\\x\\nul .bat"}) {
        errno = 0;
        EXPECT_EQ(compose(argv_to_batch_cmdline, {path}), std::nullopt) << path;
        EXPECT_EQ(errno, EINVAL) << path;
    }
}

TEST(BatchComposition, BatchPathsAreKnownByTheirCleanedNameInAnyCase) {
    for (const char *path : {"RUN.BAT", "x.cmd. ", "C:\\a b\\x.Bat", "C:\\x\\run.bat\\.",
                             "C:\\x\\run.bat/.", "C:\\x\\run.bat\\sub\\..", ".bat"})
        EXPECT_EQ(cmdkit_is_batch_path(path), 1) << path;
    for (const char *path : {"x.bat.exe", "x.batx", "bat", "", "C:\\x.bat\\y\\..\\..\\z"})
        EXPECT_EQ(cmdkit_is_batch_path(path), 0) << path;
    EXPECT_EQ(cmdkit_is_batch_path(nullptr), 0);
}

#ifdef _WIN32
TEST(WindowsComposition, SurrogatesSpelledApartAreNoPair) {
    errno = 0;
    EXPECT_EQ(cmdkit_to_utf16("\xED\xA0\x80\xED\xB0\x80"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    wchar_t *lows = cmdkit_to_utf16("\xED\xB0\x80\xED\xB0\x80");
    EXPECT_EQ(std::wstring(lows), std::wstring(L"\xDC00\xDC00"));
    std::free(lows);
    char *back = cmdkit_from_utf16(L"\xD800x");
    EXPECT_STREQ(back, "\xED\xA0\x80x");
    std::free(back);
}
#endif

TEST(WindowsComposition, NullAndEmptyVectors) {
    errno = 0;
    EXPECT_EQ(argv_to_windows_cmdline(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    char *empty[] = {nullptr};
    EXPECT_EQ(testing_support::take_string(argv_to_windows_cmdline(empty)), "");
}

} // namespace
