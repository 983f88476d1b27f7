#include "cmdline.h"
#include "cmdline_internal.h"
#include "cmdrun.h"
#include "support/names.h"
#include "support/pipeline.h"
#include "support/results.h"
#include "support/separator.h"
#include "support/streams.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>

namespace {

using testing_support::pipeline;
using testing_support::separator_setting;
using testing_support::to_values;

struct parse_outcome {
    std::optional<pipeline> commands; // nullopt when the parse failed
    std::optional<std::string> input;
    std::optional<std::string> output;
    int count = -1;
    std::string message; // standard error without the trace lines
    int error = 0;
    std::string trace; // standard error as written
    // The same line through cmdkit_parse_pipeline: targets unquoted, the
    // `>>` recorded, EINVAL for every refusal with every member cleared.
    int result = 0;
    int struct_error = 0;
    std::string struct_message;
    std::optional<pipeline> parsed;
    std::optional<std::string> parsed_input, parsed_output;
    bool append = false;
    bool cleared = false;
};

std::string without_trace_lines(const std::string &written) {
    std::istringstream lines(written);
    std::string line;
    std::string rest;
    while (std::getline(lines, line)) {
        if (line.rfind("line = ", 0) != 0 && line.rfind("token = ", 0) != 0)
            rest += line;
    }
    return rest;
}

std::optional<std::string> copy_of(const char *text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

void parse_into_struct(const std::string &line, parse_outcome &outcome) {
    cmdkit_pipeline parsed = CMDKIT_PIPELINE_INIT;
    parsed.count = 7;
    testing_support::captured_trace trace;
    errno = 0;
    outcome.result = cmdkit_parse_pipeline(line.c_str(), &parsed);
    outcome.struct_error = errno;
    outcome.struct_message = without_trace_lines(trace.text);
    if (parsed.commands != nullptr)
        outcome.parsed = to_values(parsed.commands);
    outcome.parsed_input = copy_of(parsed.input);
    outcome.parsed_output = copy_of(parsed.output);
    outcome.append = parsed.append != 0;
    outcome.cleared = parsed.commands == nullptr && parsed.count == 0 && parsed.input == nullptr &&
                      parsed.output == nullptr && parsed.append == 0;
    cmdkit_clear_pipeline(&parsed);
}

parse_outcome parse(const std::string &line) {
    parse_outcome outcome;
    char *input = nullptr;
    char *output = nullptr;
    errno = 0;
    testing_support::captured_trace trace;
    char ***list = parse_cmdline(line.c_str(), &input, &output, &outcome.count);
    outcome.error = errno;
    outcome.trace = trace.text;
    outcome.message = without_trace_lines(outcome.trace);
    if (list != nullptr)
        outcome.commands = to_values(list);
    free_pipeline(list);
    outcome.input = testing_support::take_string(input);
    outcome.output = testing_support::take_string(output);
    parse_into_struct(line, outcome);
    return outcome;
}

std::optional<std::string> unquoted(const std::optional<std::string> &raw) {
    if (!raw)
        return raw;
    std::string text(raw->size(), '\0');
    text.resize(std::strlen(
        cmdkit::internal::unquote_word(text.data(), raw->data(), raw->data() + raw->size())));
    return text;
}

struct accepted_case {
    const char *line;
    pipeline commands;
    std::optional<std::string> input;
    std::optional<std::string> output;
    bool append = false;
    const char *refused_as_pipeline = nullptr; // cmdkit_parse_pipeline's message
};

class AcceptedLines : public testing::TestWithParam<accepted_case> {};

TEST_P(AcceptedLines, ParseIntoTheExpectedPipeline) {
    const accepted_case &c = GetParam();
    parse_outcome outcome = parse(c.line);
    ASSERT_TRUE(outcome.commands.has_value()) << c.line << ": " << outcome.message;
    EXPECT_EQ(*outcome.commands, c.commands) << c.line;
    EXPECT_EQ(outcome.count, static_cast<int>(c.commands.size()));
    EXPECT_EQ(outcome.input, c.input);
    EXPECT_EQ(outcome.output, c.output);
    EXPECT_EQ(outcome.message, "");
    if (c.refused_as_pipeline != nullptr) {
        EXPECT_EQ(outcome.result, -1);
        EXPECT_EQ(outcome.struct_message, c.refused_as_pipeline);
        EXPECT_TRUE(outcome.cleared);
        return;
    }
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.parsed, c.commands);
    EXPECT_EQ(outcome.parsed_input, unquoted(c.input));
    EXPECT_EQ(outcome.parsed_output, unquoted(c.output));
    EXPECT_EQ(outcome.append, c.append);
}

const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptedLines,
    testing::Values(
        accepted_case{"foo", {{"foo"}}, none, none},
        accepted_case{"foo < a > b", {{"foo"}}, "a", "b"},
        accepted_case{"foo > a < b", {{"foo"}}, "b", "a"},
        accepted_case{"foo < a | b b1 b2 | c > d", {{"foo"}, {"b", "b1", "b2"}, {"c"}}, "a", "d"},
        // After a `>>` target a word is an argument, not a second target.
        accepted_case{"foo >> a b", {{"foo", "b"}}, none, "a", true},
        accepted_case{">> a foo", {{"foo"}}, none, "a", true},
        // Input redirection is accepted in a later command too, but a
        // pipeline to start would feed it to the first command.
        accepted_case{"foo | bar < x",
                      {{"foo"}, {"bar"}},
                      "x",
                      none,
                      false,
                      "Input redirect after a pipe: the input file belongs to the first command."},
        // Targets keep their raw text, quotes included.
        accepted_case{"foo > \"a b\"", {{"foo"}}, none, "\"a b\""},
        accepted_case{"foo < \"a b\"", {{"foo"}}, "\"a b\"", none},
        accepted_case{"foo \"it's\"", {{"foo", "its"}}, none, none},
        // The parenthesis check looks at the quote-removed name only.
        accepted_case{"\\(x) y", {{"\\(x)", "y"}}, none, none},
        accepted_case{"foo (bar)", {{"foo", "(bar)"}}, none, none},
        accepted_case{"a|b", {{"a"}, {"b"}}, none, none},
        // Before white space or an operator a backslash is no escape.
        accepted_case{"dir C:\\ /w", {{"dir", "C:\\", "/w"}}, none, none},
        accepted_case{"a\\|b", {{"a\\"}, {"b"}}, none, none},
        accepted_case{"type C:\\dir\\>out", {{"type", "C:\\dir\\"}}, none, "out"},
        accepted_case{"tool \xC3\xA9t\xC3\xA9", {{"tool", "\xC3\xA9t\xC3\xA9"}}, none, none}),
    testing_support::name_from_line<accepted_case>);

struct refused_case {
    const char *line;
    const char *message;
    int error;
    std::optional<std::string> output; // a target stored before the failure
};

class RefusedLines : public testing::TestWithParam<refused_case> {};

TEST_P(RefusedLines, FailWithTheirMessageAndFreeWhatTheyBuilt) {
    const refused_case &c = GetParam();
    parse_outcome outcome = parse(c.line);
    EXPECT_FALSE(outcome.commands.has_value()) << c.line;
    EXPECT_EQ(outcome.count, 0);
    EXPECT_EQ(outcome.message, c.message) << c.line;
    EXPECT_EQ(outcome.error, c.error) << c.line;
    EXPECT_EQ(outcome.output, c.output) << c.line;
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.struct_error, EINVAL);
    EXPECT_EQ(outcome.struct_message, c.message);
    EXPECT_TRUE(outcome.cleared);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedLines,
    testing::Values(
        refused_case{"", "No command name seen.", EINVAL, none},
        refused_case{"   ", "No command name seen.", EINVAL, none},
        refused_case{"foo > a | b < c", "Ambiguous output redirect.", EINVAL, "a"},
        // errno is left alone for these two messages.
        refused_case{"foo > a b", "Ambigous input/output redirect.", 0, "a"},
        refused_case{"< a foo", "Ambigous input/output redirect.", 0, none},
        refused_case{"foo < a < b", "Ambiguous input redirect.", EINVAL, none},
        refused_case{"foo > a >> b", "Ambiguous output redirect.", EINVAL, "a"},
        refused_case{"foo >", "Target of redirect is not a filename.", EINVAL, none},
        refused_case{"foo > |", "Target of redirect is not a filename.", EINVAL, none},
        refused_case{"foo < 'x", "Target of redirect is not a filename.", EINVAL, none},
        refused_case{"| foo", "No command name seen.", EINVAL, none},
        refused_case{"foo | | bar", "No command name seen.", EINVAL, none},
        refused_case{"foo |", "No command name seen.", EINVAL, none},
        refused_case{"(foo)", "parse_cmdline((foo)): Parenthesized groups not allowed.", 0, none},
        refused_case{"a b | \"(foo)\" x",
                     "parse_cmdline(a b | \"(foo)\" x): Parenthesized groups not allowed.", 0,
                     none},
        refused_case{"foo 'bar", "Unmatched quote character.", EINVAL, none},
        refused_case{"a | b c | d 'e", "Unmatched quote character.", EINVAL, none}),
    testing_support::name_from_line<refused_case>);

TEST(ParserTrace, TracesTheLineAndEveryTokenButNotTargets) {
    parse_outcome outcome = parse("foo < a > b");
    EXPECT_EQ(outcome.trace, "line = foo < a > b\n"
                             "token = foo < a > b\n"
                             "token = < a > b\n"
                             "token = > b\n"
                             "token = \n");
}

TEST(ParserTrace, MessagesWithoutLineFeedRunIntoTheNextTrace) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_cmdline("|", nullptr, nullptr, nullptr), nullptr);
    char ***list = parse_cmdline("x", nullptr, nullptr, nullptr);
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(list, nullptr);
    free_pipeline(list);
    EXPECT_NE(written.find("No command name seen.line = x\n"), std::string::npos) << written;
}

TEST(ParserTargets, UnwantedTargetsAreStillCheckedAndNotLeaked) {
    testing::internal::CaptureStderr();
    int count = -1;
    char ***list = parse_cmdline("foo < in > out", nullptr, nullptr, &count);
    char ***refused = parse_cmdline("foo < a < b", nullptr, nullptr, nullptr);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(refused, nullptr);
    free_pipeline(list);
}

TEST(ParserTargets, BothTargetsAreResetAtTheStartOfEachParse) {
    char *input = reinterpret_cast<char *>(0x1);
    char *output = reinterpret_cast<char *>(0x1);
    testing::internal::CaptureStderr();
    char ***list = parse_cmdline("foo", &input, &output, nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
    free_pipeline(list);
}

TEST(ParserSeparator, TextAfterASeparatorIsNotParsed) {
    separator_setting on(true);
    EXPECT_EQ(parse("foo; bar").commands, pipeline({{"foo"}}));
    EXPECT_EQ(parse("foo; 'unbalanced").commands, pipeline({{"foo"}}));
    EXPECT_EQ(parse("; foo").message, "No command name seen.");
    EXPECT_EQ(parse("a\\;b").commands, pipeline({{"a;b"}}));
    // Where the rest would silently not run, the struct's parse refuses.
    EXPECT_EQ(parse("foo; bar").struct_message, "Text after a separator would not run.");
    EXPECT_EQ(parse("foo ; \t").parsed, pipeline({{"foo"}}));
}

TEST(ParserSeparator, SemicolonIsOrdinaryWhileTheSettingIsOff) {
    separator_setting off(false);
    EXPECT_EQ(parse("foo; bar").commands, pipeline({{"foo;", "bar"}}));
}

// The command list starts with room for 127 commands and the terminator;
// the last that fit, one more, and the next doubling must all be kept
// whole, never written past the list's end (the sanitizer leg watches).
TEST(ParserLimits, PipelinesAtTheListsGrowthPointsAreKeptWhole) {
    for (int commands : {127, 128, 255, 256}) {
        std::string line = "c0";
        for (int i = 1; i < commands; ++i)
            line += " | c" + std::to_string(i);
        parse_outcome outcome = parse(line);
        ASSERT_TRUE(outcome.commands.has_value()) << commands;
        ASSERT_EQ(outcome.count, commands);
        ASSERT_EQ(outcome.commands->size(), static_cast<size_t>(commands));
        EXPECT_EQ(outcome.commands->back(),
                  testing_support::command({"c" + std::to_string(commands - 1)}));
    }
}

TEST(ParserLimits, TenThousandArgumentsAreKeptInOrder) {
    std::string line = "cmd";
    for (int i = 0; i < 10000; ++i)
        line += " a" + std::to_string(i);
    int count = 0;
    char ***list = nullptr;
    {
        testing_support::discarded_stderr quiet;
        list = parse_cmdline(line.c_str(), nullptr, nullptr, &count);
    }
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 1);
    pipeline commands = to_values(list);
    free_pipeline(list);
    ASSERT_EQ(commands.size(), 1u);
    ASSERT_EQ(commands[0].size(), 10001u);
    EXPECT_EQ(commands[0][5000], "a4999");
    EXPECT_EQ(commands[0].back(), "a9999");
}

TEST(ParserInput, NullLineFailsWithoutWriting) {
    int count = 7;
    errno = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_cmdline(nullptr, nullptr, nullptr, &count), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
