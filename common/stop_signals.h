// SIGINT, SIGTERM and SIGHUP end a run after the current cycle, so that every
// file holds whole cycles; a second signal ends the process at once.
//
// A signal handler can only leave word in a few places; these are the
// process's only mutable globals: the number of the signal that asked for the
// stop, a self-pipe that becomes readable then (so a wait in poll() on input
// or output ends at once instead of restarting), and the descriptor of the
// log file, to which a second signal appends its last line.
//
// SIGUSR1 asks the log to reopen its file by name (after logrotate moved it
// away): its handler only sets a flag, which the log takes at its next write
// or flush. It never stops the run and never ends a wait (SA_RESTART, and no
// word on the wake descriptor).
#pragma once

#include <csignal>

namespace terramod {

// Installs the handlers (without SA_RESTART: a read or write blocked when a
// stop signal arrives returns, and the caller looks at stop_signal()).
void install_stop_signals();

// The number of the signal that asked the run to stop, or 0.
int stop_signal();

// The signal's name, "SIGINT", "SIGTERM" or "SIGHUP".
const char* stop_signal_name(int signal_number);

// A descriptor that becomes readable once a stop signal has arrived (and
// stays so), for waits in poll(); -1 before install_stop_signals().
int stop_wake_descriptor();

// The log file's descriptor (-1: none) and whether its text on disk ends
// inside a line: a second signal completes that line and appends
// "WARNING: stopped by a second signal (SIGxxx)" before the process ends.
void set_signal_log(int descriptor, bool line_open);

// Installs the SIGUSR1 handler (every run: the signal's default action would
// end the process).
void install_log_reopen_signal();

// True once after each SIGUSR1 (or several that came before the look): the
// request is taken, the next call returns false until another signal.
bool take_log_reopen_request();

// Blocks the stop signals and SIGUSR1 in the calling thread while it lives
// (worker threads), so that they reach the thread that waits on input and
// output and writes the log.
class StopSignalsBlocked {
  public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

  private:
    sigset_t saved_;  // the caller's mask
};

}  // namespace terramod
