// What the harnesses share: the input convention of the parse and compose
// harnesses, whose seed corpora agree on it (the first byte switches the
// separator setting and picks the trace sink, the rest, up to the first
// NUL, is the line), and the trace sinks every harness runs under.
#ifndef CMDKIT_FUZZ_LINE_H
#define CMDKIT_FUZZ_LINE_H

#include "cmdline.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

// Every call must hand over one NUL-terminated text of the length it says.
inline void checking_sink(void *, const char *text, size_t length) {
    if (text == nullptr || std::strlen(text) != length)
        std::abort();
}

// 0: standard error (closed by run.sh), 1: none, 2: the checking sink.
inline void use_trace_sink(unsigned choice) {
    const cmdkit_trace_fn sinks[] = {cmdkit_trace_to_stderr, nullptr, checking_sink};
    cmdkit_set_trace(sinks[choice % 3], nullptr);
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
