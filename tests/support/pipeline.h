#ifndef CMDKIT_TESTS_PIPELINE_H
#define CMDKIT_TESTS_PIPELINE_H

#include <string>
#include <vector>

namespace testing_support {

using command = std::vector<std::string>;
using pipeline = std::vector<command>;

// A parsed command list as plain values; the list itself is left alone.
pipeline to_values(char ***list);

// A command list built from values with the checked allocators, shaped as
// the parser builds one, for the functions that take lists.
char ***make_pipeline(const pipeline &commands);

} // namespace testing_support

#endif
