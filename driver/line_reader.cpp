#include "line_reader.h"

#include "cmdkit.h"
#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace cmdkit::internal;

line_reader::~line_reader() {
    std::free(line_);
}

bool line_reader::refill() {
    if (input_ended_)
        return false;
    before_waiting_();
    long count = platform_read_stdin(block_, block_size);
    if (count <= 0) {
        input_ended_ = true;
        if (count < 0)
            read_error_ = errno != 0 ? errno : EIO;
        return false;
    }
    position_ = 0;
    filled_ = static_cast<size_t>(count);
    return true;
}

void line_reader::append_to_line(const char *piece, size_t length) {
    size_t needed = line_length_ + length + 1;
    if (needed > line_capacity_) {
        size_t capacity = line_capacity_ < 256 ? 256 : line_capacity_;
        while (capacity < needed)
            capacity = capacity > SIZE_MAX / 2 ? SIZE_MAX : capacity * 2;
        line_ = static_cast<char *>(xrealloc(line_, capacity));
        line_capacity_ = capacity;
    }
    if (length != 0)
        std::memcpy(line_ + line_length_, piece, length);
    line_length_ += length;
}

// Only a carriage return directly before the line feed belongs to the line
// end.  Windows' text-mode input has removed that one already, so any left
// there was written as part of the line; so is one at the very end of the
// input, with no line feed after it.
const char *line_reader::finish_line(bool ended_by_line_feed) {
    if (ended_by_line_feed && !platform_input_drops_carriage_returns && line_length_ > 0 &&
        line_[line_length_ - 1] == '\r')
        --line_length_;
    line_[line_length_] = '\0';
    return line_;
}

const char *line_reader::next_line() {
    line_length_ = 0;
    bool started = false;
    for (;;) {
        if (position_ == filled_ && !refill())
            return started ? finish_line(false) : nullptr;
        const char *begin = block_ + position_;
        size_t available = filled_ - position_;
        const void *feed = std::memchr(begin, '\n', available);
        size_t length = feed != nullptr
                            ? static_cast<size_t>(static_cast<const char *>(feed) - begin)
                            : available;
        append_to_line(begin, length);
        started = true;
        if (feed != nullptr) {
            position_ += length + 1;
            return finish_line(true);
        }
        position_ = filled_;
    }
}
