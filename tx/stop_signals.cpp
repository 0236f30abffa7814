#include "tx/stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace terramod {

namespace {

// The one place a signal handler can leave word: written only by the
// handler, read by the cycle loop.
volatile std::sig_atomic_t requested_stop = 0;

extern "C" void request_stop(int signal_number) {
    requested_stop = signal_number;
    // A second signal of any of the three kills at once.
    for (int other : {SIGINT, SIGTERM, SIGHUP}) std::signal(other, SIG_DFL);
}

}  // namespace

void install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    // Reads and writes resume after the handler: the cycle completes.
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

int stop_signal() {
    return requested_stop;
}

const char* stop_signal_name(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

}  // namespace terramod
