// SIGINT, SIGTERM and SIGHUP end a run after the current cycle, so that every
// file holds whole cycles; a second signal ends the process at once.
#pragma once

namespace terramod {

// Installs the handlers (each resets itself to the default action, so the
// second signal of a kind kills at once).
void install_stop_signals();

// The number of the signal that asked the run to stop, or 0.
int stop_signal();

// The signal's name, "SIGINT", "SIGTERM" or "SIGHUP".
const char* stop_signal_name(int signal_number);

}  // namespace terramod
