#include "cmdline.h"
#include "cmdline_internal.h"

#include <cstdio>
#include <cstring>

namespace {

// Process-wide, like the separator setting: read at every line, so a sink
// changed between calls takes effect at once.
cmdkit_trace_fn trace_sink = cmdkit_trace_to_stderr;
void *trace_context = nullptr;

// The innermost holder on this thread, if any.
thread_local cmdkit::internal::held_traces *holder = nullptr;

} // namespace

extern "C" void cmdkit_trace_to_stderr(void *, const char *text, size_t length) {
    std::fwrite(text, 1, length, stderr);
}

extern "C" void cmdkit_set_trace(cmdkit_trace_fn sink, void *context) {
    trace_sink = sink;
    trace_context = context;
}

extern "C" void cmdkit_get_trace(cmdkit_trace_fn *sink, void **context) {
    if (sink != nullptr)
        *sink = trace_sink;
    if (context != nullptr)
        *context = trace_context;
}

namespace cmdkit::internal {

bool tracing() {
    return trace_sink != nullptr && (holder == nullptr || holder->passes_);
}

bool messages_wanted() {
    return trace_sink != nullptr || holder != nullptr;
}

void trace_text(const char *text, size_t length) {
    if (holder != nullptr) {
        text_clear(holder->last_);
        text_append(holder->last_, text, length);
        if (!holder->passes_)
            return;
    }
    send_message(text, length);
}

void send_message(const char *text, size_t length) {
    if (trace_sink != nullptr)
        trace_sink(trace_context, text, length);
}

held_traces::held_traces(bool passes) : previous_(holder), passes_(passes) {
    holder = this;
}

held_traces::~held_traces() {
    holder = previous_;
    text_release(last_);
}

const char *held_traces::last() const {
    return last_.data != nullptr ? last_.data : "";
}

void trace_text(const char *text) {
    trace_text(text, std::strlen(text));
}

trace_line::~trace_line() {
    text_release(line_);
}

trace_line &trace_line::put(const char *text) {
    const char *shown = text != nullptr ? text : "(null)";
    return put(shown, std::strlen(shown));
}

void trace_line::send() {
    // An empty line still reaches the sink with a valid, NUL-terminated text.
    trace_text(line_.data != nullptr ? line_.data : "", line_.length);
    text_clear(line_);
}

} // namespace cmdkit::internal
