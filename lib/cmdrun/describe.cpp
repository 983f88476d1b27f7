// cmdkit_describe_exit: an exit in words for the messages callers print.
#include "cmdrun.h"
#include "cmdrun_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace cmdkit::internal;

namespace {

// Appends to a text that is cut to the buffer's size, counting what does
// not fit, as snprintf counts.
struct cut_text {
    char *buffer;
    size_t size;
    size_t length = 0;

    void add(const char *piece) {
        for (; *piece != '\0'; ++piece, ++length) {
            if (length + 1 < size)
                buffer[length] = *piece;
        }
    }
    void end() {
        if (size > 0)
            buffer[length < size ? length : size - 1] = '\0';
    }
};

void add_number(cut_text &text, unsigned long number, bool hex) {
    char digits[24];
    std::snprintf(digits, sizeof digits, hex ? "0x%08lX" : "%lu", number);
    text.add(digits);
}

void add_name(cut_text &text, const char *name) {
    if (name == nullptr)
        return;
    text.add(" (");
    text.add(name);
    text.add(")");
}

} // namespace

// Every text is ASCII, so cutting at any byte splits no UTF-8 sequence.
extern "C" size_t cmdkit_describe_exit(const cmdkit_exit *exit, char *buffer, size_t size) {
    if (exit == nullptr || (buffer == nullptr && size != 0)) {
        errno = EINVAL;
        return 0;
    }
    cut_text text{buffer, size};
    switch (exit->state) {
    case CMDKIT_EXIT_RUNNING:
        text.add("still running");
        break;
    case CMDKIT_EXIT_EXITED:
        text.add("exited with ");
        add_number(text, exit->code, os_exit_code_in_hex(exit->code));
        add_name(text, os_exit_code_name(exit->code));
        break;
    case CMDKIT_EXIT_SIGNALED:
        text.add("ended by signal ");
        add_number(text, exit->code, false);
        add_name(text, os_signal_name(exit->code));
        break;
    case CMDKIT_EXIT_KILLED:
        text.add("killed");
        break;
    case CMDKIT_EXIT_UNKNOWN:
        text.add("status unknown: another waiter took it");
        break;
    default:
        text.add("in a state this version does not know (");
        add_number(text, static_cast<unsigned long>(exit->state), false);
        text.add(")");
    }
    text.end();
    return text.length;
}
