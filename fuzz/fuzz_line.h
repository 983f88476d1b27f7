// The input convention of the parse and compose harnesses, which their seed
// corpora share: the first byte switches the separator setting and picks
// the trace sink, the rest, up to the first NUL, is the line.
#ifndef CMDKIT_FUZZ_LINE_H
#define CMDKIT_FUZZ_LINE_H

#include "cmdline.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Even: standard error (which run.sh closes), odd: no sink at all.
inline void use_trace_sink(unsigned choice) {
    cmdkit_set_trace(choice % 2 == 0 ? cmdkit_trace_to_stderr : nullptr, nullptr);
}

// False for an empty input, which carries no line.
inline bool take_fuzz_line(const uint8_t *data, size_t size, std::string &line) {
    if (size == 0)
        return false;
    semicolon_is_separator = data[0] & 1;
    use_trace_sink(data[0] >> 1);
    line.assign(reinterpret_cast<const char *>(data) + 1, size - 1);
    return true;
}

#endif
