#include "cmdline.h"
#include "cmdline_internal.h"
#include "support/pipeline.h"
#include "support/separator.h"
#include "support/streams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>

using namespace cmdkit::internal;

namespace {

using testing_support::command;
using testing_support::make_pipeline;
using testing_support::pipeline;

std::string take(char *text) {
    std::string value = text != nullptr ? text : "<null>";
    std::free(text);
    return value;
}

std::string compose(const command &arguments) {
    char ***list = make_pipeline({arguments});
    std::string text = take(argv_to_cmdline(list[0]));
    free_pipeline(list);
    return text;
}

std::string compose(const pipeline &commands, const char *input, const char *output) {
    char ***list = make_pipeline(commands);
    std::string text = take(pipeline_to_cmdline(list, input, output));
    free_pipeline(list);
    return text;
}

TEST(Quoting, OnlyWhiteSpaceCausesQuotes) {
    EXPECT_EQ(take(quote_arg("plain")), "plain");
    for (char blank : std::string(" \t\n\v\f\r")) {
        const std::string argument = std::string("a") + blank + "b";
        EXPECT_EQ(take(quote_arg(argument.c_str())), "\"" + argument + "\"")
            << static_cast<int>(blank);
    }
    EXPECT_EQ(take(quote_arg("")), "");
    EXPECT_EQ(take(quote_arg("x|y>\"z\\")), "x|y>\"z\\");
    EXPECT_EQ(take(quote_arg("\xA0\x85")), "\xA0\x85") << "bytes above 0x7F are not white space";
}

TEST(ArgvComposition, ArgumentsAreJoinedBySingleSpaces) {
    EXPECT_EQ(compose(command{"foo", "a b", "c"}), "foo \"a b\" c");
    EXPECT_EQ(compose(command{"foo"}), "foo");
    EXPECT_EQ(compose(command{"foo", "", "x"}), "foo  x");
}

TEST(ArgvComposition, NullAndEmptyVectors) {
    EXPECT_EQ(argv_to_cmdline(nullptr), nullptr);
    char *empty[] = {nullptr};
    EXPECT_EQ(take(argv_to_cmdline(empty)), "");
}

TEST(PipelineComposition, RedirectionsGoAfterTheFirstAndTheLastCommand) {
    EXPECT_EQ(compose(pipeline{{"foo"}, {"b", "b1", "b2"}, {"c"}}, "a", "d"),
              "foo < a | b b1 b2 | c > d");
    EXPECT_EQ(compose(pipeline{{"foo"}}, "in file", "my file"), "foo < \"in file\" > \"my file\"");
    EXPECT_EQ(compose(pipeline{{"foo"}}, nullptr, "\"my file\""), "foo > \"\"my file\"\"");
}

TEST(PipelineComposition, InputMovesBehindTheFirstCommand) {
    char *input = nullptr;
    char *output = nullptr;
    testing::internal::CaptureStderr();
    char ***list = parse_cmdline("foo | bar < x", &input, &output, nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(take(pipeline_to_cmdline(list, input, output)), "foo < x | bar");
    free_pipeline(list);
    std::free(input);
}

TEST(PipelineComposition, NullAndEmptyLists) {
    EXPECT_EQ(pipeline_to_cmdline(nullptr, "a", "b"), nullptr);
    char **empty[] = {nullptr};
    EXPECT_EQ(pipeline_to_cmdline(empty, "a", "b"), nullptr);
}

// Property: text composed from a pipeline whose words avoid the characters
// the composer does not escape parses back into the same pipeline.
class round_trip_generator {
  public:
    explicit round_trip_generator(unsigned seed) : random_(seed) {}

    std::string word(bool allow_white_space, bool is_command_name) {
        static const std::string plain = "abcxyzABCXYZ019._-+=,:@%!~*(){}[]/#&^$\x80\xA0\xE9\xFF";
        std::string text;
        size_t length = 1 + pick(8);
        while (text.size() < length) {
            if (allow_white_space && pick(5) == 0)
                text += pick(2) == 0 ? ' ' : '\t';
            else
                text += plain[pick(plain.size())];
        }
        if (is_command_name && text[0] == '(')
            text[0] = 'p';
        return text;
    }

    pipeline commands() {
        pipeline result(1 + pick(4));
        for (auto &arguments : result) {
            arguments.push_back(word(true, true));
            for (size_t i = pick(5); i > 0; --i)
                arguments.push_back(word(true, false));
        }
        return result;
    }

    std::optional<std::string> target() {
        if (pick(2) == 0)
            return std::nullopt;
        return word(false, false);
    }

    size_t pick(size_t bound) {
        return std::uniform_int_distribution<size_t>(0, bound - 1)(random_);
    }

  private:
    std::mt19937 random_;
};

TEST(CompositionRoundTrip, ParsingComposedTextGivesThePipelineBack) {
    round_trip_generator generate(20261208);
    testing_support::discarded_stderr quiet;
    for (int trial = 0; trial < 3000; ++trial) {
        pipeline commands = generate.commands();
        std::optional<std::string> input = generate.target();
        std::optional<std::string> output = generate.target();
        std::string text =
            compose(commands, input ? input->c_str() : nullptr, output ? output->c_str() : nullptr);

        char *parsed_input = nullptr;
        char *parsed_output = nullptr;
        char ***list = parse_cmdline(text.c_str(), &parsed_input, &parsed_output, nullptr);
        ASSERT_NE(list, nullptr) << text;
        EXPECT_EQ(testing_support::to_values(list), commands) << text;
        EXPECT_EQ(parsed_input ? std::optional<std::string>(parsed_input) : std::nullopt, input);
        EXPECT_EQ(parsed_output ? std::optional<std::string>(parsed_output) : std::nullopt, output);
        free_pipeline(list);
        std::free(parsed_input);
        std::free(parsed_output);
    }
}

// With the separator on, a bare `;` would cut the line short, so it is one
// of the characters a round-trippable word must avoid; words without it
// still come back whole.
TEST(CompositionRoundTrip, HoldsWithTheSeparatorOnForWordsWithoutSemicolons) {
    testing_support::separator_setting on(true);
    testing_support::discarded_stderr quiet;
    std::string text = compose(pipeline{{"tool", "a b", "c\td"}, {"more"}}, "in", "out");
    char ***list = parse_cmdline(text.c_str(), nullptr, nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(testing_support::to_values(list), (pipeline{{"tool", "a b", "c\td"}, {"more"}}));
    free_pipeline(list);
}

} // namespace
