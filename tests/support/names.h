// Names for the cases of table-driven tests, so that every case is a ctest
// test whose name says what it checks (`ctest -R 'LineEnds.*CR'`).
#ifndef CMDKIT_TESTS_NAMES_H
#define CMDKIT_TESTS_NAMES_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace testing_support {

// The case's number and its text, with everything but letters and digits
// turned into underscores, as test names must be.
inline std::string case_name(size_t index, const std::string &text) {
    std::string name = std::to_string(index);
    for (char c : text.substr(0, 60))
        name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    return name;
}

template <typename Case> std::string name_from_why(const testing::TestParamInfo<Case> &info) {
    return case_name(info.index, std::string("_") + info.param.why);
}

template <typename Case> std::string name_from_line(const testing::TestParamInfo<Case> &info) {
    return case_name(info.index, std::string("_") + info.param.line);
}

} // namespace testing_support

#endif
