#include "ops/service_notifier.h"

#include <cstdlib>
#include <system_error>
#include <utility>

#ifdef TERRAMOD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

#include <cstdint>
#endif

namespace terramod {

namespace {

// One line of the notification protocol: a line break would start another
// assignment.
std::string one_line(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return line;
}

}  // namespace

ServiceNotifier::ServiceNotifier() : ServiceNotifier(std::chrono::steady_clock::now) {}

ServiceNotifier::ServiceNotifier(Clock clock) : clock_(std::move(clock)) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') return;
#ifdef TERRAMOD_HAVE_SYSTEMD
    enabled_ = true;
    uint64_t usec = 0;
    const int watchdog = sd_watchdog_enabled(0, &usec);
    if (watchdog > 0) {
        watchdog_interval_ = std::chrono::microseconds(usec);
    } else if (watchdog < 0) {
        const char* value = std::getenv("WATCHDOG_USEC");
        warning_ = std::string("the service manager's watchdog setting WATCHDOG_USEC=") +
                   (value != nullptr ? value : "") + " is not usable (" +
                   std::error_code(-watchdog, std::generic_category()).message() +
                   "): no watchdog pings are sent";
    }
#else
    warning_ =
        "a service manager listens (NOTIFY_SOCKET is set), but this build has no systemd "
        "notification (built without libsystemd-dev): READY, STATUS and WATCHDOG are not sent";
#endif
}

void ServiceNotifier::send(const std::string& message) {
#ifdef TERRAMOD_HAVE_SYSTEMD
    const int result = sd_notify(0, message.c_str());
    if (result >= 0 || send_failed_) return;
    send_failed_ = true;
    std::string what = message.substr(0, message.find('\n'));
    warning_ = "the notification " + what + " to the service manager failed (" +
               std::error_code(-result, std::generic_category()).message() + ")";
#else
    (void)message;
#endif
}

void ServiceNotifier::ready(const std::string& text) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_sent_) return;
    ready_sent_ = true;
    send("READY=1\nSTATUS=" + one_line(text));
}

void ServiceNotifier::status(const std::string& text) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    send("STATUS=" + one_line(text));
}

void ServiceNotifier::watchdog() {
    if (!enabled_ || watchdog_interval_.count() == 0) return;
    const std::chrono::steady_clock::time_point now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    if (pinged_ && now - last_ping_ < watchdog_interval_ / 2) return;
    pinged_ = true;
    last_ping_ = now;
    send("WATCHDOG=1");
}

void ServiceNotifier::stopping() {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    send("STOPPING=1");
}

std::string ServiceNotifier::take_warning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(warning_, std::string());
}

}  // namespace terramod
