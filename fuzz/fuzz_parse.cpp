// Tokenizer and parser on arbitrary bytes, in the input convention of
// fuzz_line.h.
#include "cmdline.h"
#include "cmdline_internal.h"
#include "fuzz_line.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace cmdkit::internal;

namespace {

void check(bool holds) {
    if (!holds)
        std::abort();
}

// Every token lies inside the line and the cursor always moves forward,
// except at the end or at an unmatched quote, where the caller stops.
void check_tokens(const char *line) {
    const char *line_end = line + std::strlen(line);
    const char *cursor = line;
    for (;;) {
        const char *start = nullptr;
        const char *end = nullptr;
        int kind = next_token(cursor, &start, &end);
        check(kind >= TOKEN_WORD && kind <= TOKEN_END);
        check(cursor <= start && start <= end && end <= line_end);
        if (kind == TOKEN_END || kind == TOKEN_UNMATCHED_QUOTE)
            return;
        check(end > cursor);
        if (kind == TOKEN_WORD) {
            std::string copy(static_cast<size_t>(end - start) + 1, '\0');
            unquote_word(copy.data(), start, end);
            check(std::strlen(copy.c_str()) <= static_cast<size_t>(end - start));
        }
        cursor = end;
    }
}

void check_parse(const char *line) {
    char *input = nullptr;
    char *output = nullptr;
    int count = -1;
    char ***list = parse_cmdline(line, &input, &output, &count);
    size_t line_length = std::strlen(line);
    if (list == nullptr) {
        check(count == 0);
    } else {
        int commands = 0;
        for (char ***vector = list; *vector != nullptr; ++vector, ++commands) {
            check((*vector)[0] != nullptr);
            for (char **argument = *vector; *argument != nullptr; ++argument) {
                check(std::strlen(*argument) <= line_length);
                std::free(*argument);
            }
            std::free(*vector);
        }
        check(commands == count && commands > 0);
        std::free(list);
    }
    check(input == nullptr || std::strlen(input) <= line_length);
    check(output == nullptr || std::strlen(output) <= line_length);
    std::free(input);
    std::free(output);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line;
    if (!take_fuzz_line(data, size, line))
        return 0;
    check_tokens(line.c_str());
    check_parse(line.c_str());
    return 0;
}
