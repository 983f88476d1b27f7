// The failure report: its one message, made of pieces and cut where
// needed, and its copy into the caller's struct as far as its size reaches.
#include "cmdline_internal.h"
#include "cmdrun_internal.h"
#include "wtf8.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace cmdkit::internal {

namespace {

// The first version of the report, whose size callers built against it pass.
struct failure_first_version {
    size_t size;
    int stage;
    int index;
    int error;
    unsigned long system_error;
};

// `text` cut to fit `room` bytes with its NUL.
void copy_cut(char *to, size_t room, const char *text) {
    const size_t length = utf8_prefix_length(text, std::strlen(text), room - 1);
    std::memcpy(to, text, length);
    to[length] = '\0';
}

} // namespace

// The message is made whatever the sink: the report carries it.
void fail(start_failure &failure, int stage, int index, int error, unsigned long system_error,
          const char *const *pieces, size_t count) {
    text_buffer message;
    for (size_t i = 0; i < count; ++i)
        text_append(message, pieces[i]);
    fail_with_text(failure, stage, index, error, system_error,
                   message.data != nullptr ? message.data : "", message.length);
    text_release(message);
}

void fail_with_text(start_failure &failure, int stage, int index, int error,
                    unsigned long system_error, const char *text, size_t length) {
    failure.stage = stage;
    failure.index = index;
    failure.error = error;
    failure.system_error = system_error;
    text_clear(failure.whole);
    text_append(failure.whole, text, length);
    const size_t cut = utf8_prefix_length(text, length, sizeof failure.message - 1);
    std::memcpy(failure.message, text, cut);
    failure.message[cut] = '\0';
    errno = error;
}

// With a report the caller has the message and prints it itself; saying it
// here as well would print it twice.
void say_failure(const start_failure &failure, bool reported, bool tracing) {
    const bool passed = tracing && failure.stage == CMDKIT_FAILED_PARSE;
    if ((reported && !tracing) || passed || failure.whole.length == 0)
        return;
    text_buffer line;
    text_append(line, failure.whole.data, failure.whole.length);
    text_append(line, "\n", 1);
    send_message(line.data, line.length);
    text_release(line);
}

void refuse_options(start_failure &failure, const cmdkit_start_options *options) {
    refuse_request(failure, options->size == 0 ? "start options of size 0; start them from "
                                                 "CMDKIT_START_OPTIONS_INIT"
                                               : "start options of a size this version does "
                                                 "not know");
}

bool refuse_request(start_failure &failure, const char *what) {
    const char *pieces[] = {"Refused: ", what, "."};
    fail(failure, CMDKIT_FAILED_REQUEST, -1, EINVAL, EINVAL, pieces, 3);
    return false;
}

size_t utf8_prefix_length(const char *text, size_t length, size_t limit) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t at = 0;
    while (at < length) {
        char32_t ignored = 0;
        const size_t sequence = std::max<size_t>(1, decode_wtf8(bytes + at, length - at, ignored));
        if (at + sequence > limit)
            break;
        at += sequence;
    }
    return at;
}

bool report_known(const cmdkit_failure *report) {
    return report == nullptr || report->size >= sizeof(failure_first_version);
}

// Written only as far as the caller's size reaches: a report of the first
// version has no message.
bool report_failure(cmdkit_failure *report, const start_failure &failure) {
    if (report == nullptr || !report_known(report))
        return report == nullptr;
    report->stage = failure.stage;
    report->index = failure.index;
    report->error = failure.error;
    report->system_error = failure.system_error;
    const size_t message_at = offsetof(cmdkit_failure, message);
    if (report->size > message_at)
        copy_cut(report->message, std::min(report->size, sizeof *report) - message_at,
                 failure.message);
    return true;
}

} // namespace cmdkit::internal
