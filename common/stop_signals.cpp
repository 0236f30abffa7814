#include "common/stop_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

namespace terramod {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written only by the handler, read by the cycle loop.
volatile std::sig_atomic_t requested_stop = 0;
// The self-pipe: [0] is polled, [1] written by the handler.
int wake_pipe[2] = {-1, -1};
// The log file the second signal finishes; lock-free, so the handler may
// read them.
std::atomic<int> log_descriptor{-1};
std::atomic<bool> log_line_open{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
// Set by SIGUSR1, taken by the log.
std::atomic<bool> reopen_requested{false};

void write_all(int descriptor, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t count = ::write(descriptor, text, left);
        if (count <= 0) return;
        text += count;
        left -= static_cast<size_t>(count);
    }
}

// Only async-signal-safe calls: write(2), signal(2), raise(3).
void end_on_second_signal(int signal_number) {
    const int descriptor = log_descriptor.load();
    if (descriptor >= 0) {
        if (log_line_open.load()) write_all(descriptor, "\n");
        write_all(descriptor, "WARNING: stopped by a second signal (");
        write_all(descriptor, stop_signal_name(signal_number));
        write_all(descriptor, ")\n");
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

extern "C" void request_stop(int signal_number) {
    if (requested_stop != 0) {
        end_on_second_signal(signal_number);
        return;
    }
    requested_stop = signal_number;
    if (wake_pipe[1] >= 0) {
        const int saved_errno = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_pipe[1], &byte, 1);
        errno = saved_errno;
    }
}

extern "C" void request_log_reopen(int) {
    reopen_requested.store(true);
}

void make_wake_pipe() {
    if (wake_pipe[0] >= 0) return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;  // waits then only see EINTR
    wake_pipe[0] = ends[0];
    wake_pipe[1] = ends[1];
}

}  // namespace

void install_stop_signals() {
    make_wake_pipe();
    struct sigaction action {};
    action.sa_handler = request_stop;
    // One handler at a time: of two signals, the second is always the second.
    sigemptyset(&action.sa_mask);
    for (int signal_number : kStopSignals) sigaddset(&action.sa_mask, signal_number);
    // No SA_RESTART: a read or write waiting when the signal arrives returns
    // with EINTR, and the wait ends.
    action.sa_flags = 0;
    for (int signal_number : kStopSignals) sigaction(signal_number, &action, nullptr);
}

void install_log_reopen_signal() {
    struct sigaction action {};
    action.sa_handler = request_log_reopen;
    sigemptyset(&action.sa_mask);
    // A read or write blocked when it comes goes on; a wait in poll() returns
    // with EINTR, sees no stop and waits again.
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
}

bool take_log_reopen_request() {
    // A cheap look first: the log asks at every write.
    return reopen_requested.load(std::memory_order_relaxed) && reopen_requested.exchange(false);
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

int stop_wake_descriptor() {
    return wake_pipe[0];
}

void set_signal_log(int descriptor, bool line_open) {
    log_line_open.store(line_open);
    log_descriptor.store(descriptor);
}

StopSignalsBlocked::StopSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : kStopSignals) sigaddset(&blocked, signal_number);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace terramod
