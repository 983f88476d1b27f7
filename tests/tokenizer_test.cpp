#include "cmdline_internal.h"
#include "support/names.h"
#include "support/separator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace cmdkit::internal;

namespace {

using testing_support::separator_setting;

struct token {
    int kind;
    size_t start;
    size_t end;
    std::string copy; // quote-removed text, for words only

    bool operator==(const token &other) const {
        return kind == other.kind && start == other.start && end == other.end && copy == other.copy;
    }
};

std::ostream &operator<<(std::ostream &out, const token &t) {
    return out << "{kind " << t.kind << ", [" << t.start << ", " << t.end << "), \"" << t.copy
               << "\"}";
}

// Reads every token of `line` up to the end (or an unmatched quote).
std::vector<token> tokenize(const std::string &line) {
    std::vector<token> tokens;
    const char *text = line.c_str();
    const char *cursor = text;
    for (;;) {
        const char *start = nullptr;
        const char *end = nullptr;
        int kind = next_token(cursor, &start, &end);
        token t{kind, static_cast<size_t>(start - text), static_cast<size_t>(end - text), ""};
        if (kind == TOKEN_WORD) {
            std::vector<char> copy(static_cast<size_t>(end - start) + 1);
            t.copy = unquote_word(copy.data(), start, end);
        }
        tokens.push_back(t);
        if (kind == TOKEN_END || kind == TOKEN_UNMATCHED_QUOTE)
            return tokens;
        cursor = end;
    }
}

struct tokenizer_case {
    const char *why;
    std::string line;
    bool separator_on;
    std::vector<token> expected;
};

class TokenizerTable : public testing::TestWithParam<tokenizer_case> {};

TEST_P(TokenizerTable, GivesTheExpectedTokens) {
    const tokenizer_case &c = GetParam();
    separator_setting setting(c.separator_on);
    EXPECT_EQ(tokenize(c.line), c.expected) << c.why << ": " << c.line;
}

const token end_at(size_t offset) {
    return {TOKEN_END, offset, offset, ""};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenizerTable,
    testing::Values(
        tokenizer_case{"empty line", "", false, {end_at(0)}},
        tokenizer_case{"blanks only", " \t\r\n\v\f", false, {end_at(6)}},
        tokenizer_case{"operators end a word and are read next",
                       "a<b",
                       false,
                       {{TOKEN_WORD, 0, 1, "a"},
                        {TOKEN_REDIRECT_IN, 1, 2, ""},
                        {TOKEN_WORD, 2, 3, "b"},
                        end_at(3)}},
        tokenizer_case{"append operator spans both characters",
                       "a>>b",
                       false,
                       {{TOKEN_WORD, 0, 1, "a"},
                        {TOKEN_REDIRECT_APPEND, 1, 3, ""},
                        {TOKEN_WORD, 3, 4, "b"},
                        end_at(4)}},
        tokenizer_case{"single > and pipe at token start",
                       " > x | y",
                       false,
                       {{TOKEN_REDIRECT_OUT, 1, 2, ""},
                        {TOKEN_WORD, 3, 4, "x"},
                        {TOKEN_PIPE, 5, 6, ""},
                        {TOKEN_WORD, 7, 8, "y"},
                        end_at(8)}},
        tokenizer_case{
            "three > are an append and a single",
            ">>>",
            false,
            {{TOKEN_REDIRECT_APPEND, 0, 2, ""}, {TOKEN_REDIRECT_OUT, 2, 3, ""}, end_at(3)}},
        tokenizer_case{"quoted region joins the text around it",
                       "x\"a b\"y",
                       false,
                       {{TOKEN_WORD, 0, 7, "xa by"}, end_at(7)}},
        tokenizer_case{"operators inside quotes are text",
                       "'a|b>c'",
                       false,
                       {{TOKEN_WORD, 0, 7, "a|b>c"}, end_at(7)}},
        tokenizer_case{
            "unmatched quote at the start", "\"abc", false, {{TOKEN_UNMATCHED_QUOTE, 0, 4, ""}}},
        tokenizer_case{"unmatched quote opened inside a word",
                       "a'b",
                       false,
                       {{TOKEN_UNMATCHED_QUOTE, 0, 3, ""}}},
        tokenizer_case{"escaped quote does not close the region",
                       "\"a\\\"b\"",
                       false,
                       {{TOKEN_WORD, 0, 6, "a\"b"}, end_at(6)}},
        tokenizer_case{"escaped quote outside quotes is kept literally",
                       "a\\'b",
                       false,
                       {{TOKEN_WORD, 0, 4, "a'b"}, end_at(4)}},
        tokenizer_case{"backslashes before letters are copied",
                       "C:\\dir\\x",
                       false,
                       {{TOKEN_WORD, 0, 8, "C:\\dir\\x"}, end_at(8)}},
        tokenizer_case{"a backslash does not escape a backslash",
                       "\"a\\\\\"",
                       false,
                       {{TOKEN_UNMATCHED_QUOTE, 0, 5, ""}}},
        tokenizer_case{"so the quote after two backslashes stays open",
                       "\"a\\\\\" b\"",
                       false,
                       {{TOKEN_WORD, 0, 8, "a\\\" b"}, end_at(8)}},
        tokenizer_case{"trailing backslash is part of the word",
                       "a\\",
                       false,
                       {{TOKEN_WORD, 0, 2, "a\\"}, end_at(2)}},
        tokenizer_case{"carriage return inside a word does not end it",
                       "\ra\rb c",
                       false,
                       {{TOKEN_WORD, 1, 4, "a\rb"}, {TOKEN_WORD, 5, 6, "c"}, end_at(6)}},
        tokenizer_case{"vertical tab and form feed are skipped before a word but kept in it",
                       "\v\fa\vb\fc",
                       false,
                       {{TOKEN_WORD, 2, 7, "a\vb\fc"}, end_at(7)}},
        tokenizer_case{
            "tab and line feed end a word like a space",
            "a\tb\nc",
            false,
            {{TOKEN_WORD, 0, 1, "a"}, {TOKEN_WORD, 2, 3, "b"}, {TOKEN_WORD, 4, 5, "c"}, end_at(5)}},
        tokenizer_case{"other quote kind inside a region is dropped",
                       "\"it's\" 'say \"hi\"'",
                       false,
                       {{TOKEN_WORD, 0, 6, "its"}, {TOKEN_WORD, 7, 17, "say hi"}, end_at(17)}},
        tokenizer_case{"semicolon is a word character while the setting is off",
                       "a;b",
                       false,
                       {{TOKEN_WORD, 0, 3, "a;b"}, end_at(3)}},
        tokenizer_case{"escaped semicolon is untouched while the setting is off",
                       "a\\;b",
                       false,
                       {{TOKEN_WORD, 0, 4, "a\\;b"}, end_at(4)}},
        tokenizer_case{"semicolon separates while the setting is on",
                       "a;b",
                       true,
                       {{TOKEN_WORD, 0, 1, "a"},
                        {TOKEN_SEPARATOR, 1, 2, ""},
                        {TOKEN_WORD, 2, 3, "b"},
                        end_at(3)}},
        tokenizer_case{"escaped semicolon stays in the word while the setting is on",
                       "a\\;b",
                       true,
                       {{TOKEN_WORD, 0, 4, "a;b"}, end_at(4)}},
        tokenizer_case{"bytes above 0x7F are word characters",
                       "\xE9t\xE9 \xFF",
                       false,
                       {{TOKEN_WORD, 0, 3, "\xE9t\xE9"}, {TOKEN_WORD, 4, 5, "\xFF"}, end_at(5)}},
        tokenizer_case{"the sample macro argument loses its single quotes",
                       "\"[Open('%f');SelLine(%l,8)]\"",
                       false,
                       {{TOKEN_WORD, 0, 28, "[Open(%f);SelLine(%l,8)]"}, end_at(28)}}),
    testing_support::name_from_why<tokenizer_case>);

TEST(Unquoting, ResultIsNeverLongerThanTheSource) {
    const char *word = "\"\"''\\\"x";
    char destination[16];
    std::memset(destination, 'Z', sizeof destination);
    unquote_word(destination, word, word + std::strlen(word));
    EXPECT_STREQ(destination, "\"x");
    EXPECT_EQ(destination[std::strlen(word) + 1], 'Z') << "wrote past end - begin + 1 bytes";
}

// An escape is only taken when the escaped character lies inside the range.
TEST(Unquoting, BackslashAtTheEndOfTheRangeIsCopied) {
    const char *text = "ab\\\"";
    char destination[8];
    EXPECT_STREQ(unquote_word(destination, text, text + 3), "ab\\");
}

} // namespace
