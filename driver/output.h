#ifndef CMDKIT_DRIVER_OUTPUT_H
#define CMDKIT_DRIVER_OUTPUT_H

// Exit statuses: 0 when all input was read and everything written, 1 after
// a failed allocation (the checked allocators exit with it), 2 when a
// standard stream failed.
constexpr int exit_stream_failure = 2;

// Terminals keep stdio's usual line-by-line behaviour; files and pipes get
// full buffers, flushed whenever we are about to wait for input.
void buffer_streams_for_throughput();

// Flushes standard output and standard error.  When either could not be
// written, says so on standard error (when that still works) and ends the
// process with exit_stream_failure: a lost result must never look like a
// success.
void flush_or_exit();

// Reports that standard input failed with `error` (an errno value), after
// flushing what was already answered, and ends the process with
// exit_stream_failure.
[[noreturn]] void exit_after_read_error(int error);

#endif
