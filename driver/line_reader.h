#ifndef CMDKIT_DRIVER_LINE_READER_H
#define CMDKIT_DRIVER_LINE_READER_H

#include <stddef.h>

// Reads standard input one line at a time, in large blocks, into storage
// that grows with the line, so no line is ever split or truncated.  Before
// it waits for more input it calls `before_waiting`, which the program uses
// to flush its answers: a program talking to us through pipes gets every
// answer without having to close its end, while a long stream costs one
// write per buffer.
class line_reader {
  public:
    explicit line_reader(void (*before_waiting)()) : before_waiting_(before_waiting) {}
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;
    ~line_reader();

    // The next line without its line feed (and without a carriage return
    // right before it), or null when the input has ended or failed.  The
    // text stays valid until the next call.
    const char *next_line();

    // The errno value of the read that failed, or 0 when the input simply
    // ended (or has not yet).
    int read_error() const { return read_error_; }

  private:
    bool refill();
    void append_to_line(const char *piece, size_t length);
    const char *finish_line(bool ended_by_line_feed);

    static constexpr size_t block_size = 64 * 1024;
    void (*before_waiting_)();
    char block_[block_size];
    size_t position_ = 0;
    size_t filled_ = 0;
    bool input_ended_ = false;
    int read_error_ = 0;
    char *line_ = nullptr;
    size_t line_length_ = 0;
    size_t line_capacity_ = 0;
};

#endif
