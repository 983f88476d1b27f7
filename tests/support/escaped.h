// Arguments as one line of printable text each, and back: every byte
// outside 0x21-0x7E, and the backslash, becomes \xHH, so that spaces, line
// feeds, empty arguments and bytes above 0x7F all survive a text file and
// show plainly in a failure message.
#ifndef CMDKIT_TESTS_ESCAPED_H
#define CMDKIT_TESTS_ESCAPED_H

#include <string>

namespace testing_support {

inline std::string escaped(const std::string &text) {
    static const char digits[] = "0123456789abcdef";
    std::string line;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && byte != '\\') {
            line += c;
        } else {
            line += "\\x";
            line += digits[byte >> 4];
            line += digits[byte & 0xF];
        }
    }
    return line;
}

inline std::string unescaped(const std::string &line) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x') {
            text += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            text += line[i];
        }
    }
    return text;
}

} // namespace testing_support

#endif
