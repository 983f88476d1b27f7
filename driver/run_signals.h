// cmdkit-run's signals: a handler that only notes each one and writes a
// byte into a pipe, which the waits (and a run of many lines, as its cancel
// handle) watch; on Windows the console's Ctrl+C and Ctrl+Break.
#ifndef CMDKIT_RUN_SIGNALS_H
#define CMDKIT_RUN_SIGNALS_H

#include "cmdrun.h"

#include <stdint.h>

namespace runner {

// Catches SIGINT, SIGQUIT, SIGTERM and SIGHUP (an ignored one would be
// inherited by the commands) and leaves SIGCHLD at its default, which the
// statuses need.  `interrupts_stop`: SIGINT and SIGQUIT call for a stop too,
// as they do when the commands run in groups of their own.  On Windows a
// Ctrl+C reaches the commands themselves; cmdkit-run only notes it.
void catch_signals(bool interrupts_stop);

// The signal that calls for a stop, or 0.
int signal_to_act_on();

// Readable (POSIX) or signalled (Windows) once a signal called for a stop:
// a run of many lines cancels by it.
intptr_t stop_handle();

// A SIGQUIT noted, on POSIX: the jobs are then killed at once.
bool quit_noted();
// Readable once a SIGQUIT came (POSIX; -1 elsewhere).
int quit_handle();

// cmdkit_stop, cut short by the kill when a signal calls for a stop during
// the grace (cmdkit_kill beside cmdkit_stop, a pair cmdkit allows).
int stop_within_grace(cmdkit_process *process, long grace_ms);

// Ends cmdkit-run by `number`, its handler put back to the default first
// (POSIX), or with 128 + `number` where the signal cannot be raised.
[[noreturn]] void end_by_signal(int number);

} // namespace runner

#endif
