// Tells the service manager how the run goes (sd_notify): READY once the
// first samples are on the air, a STATUS line, WATCHDOG pings after each
// completed cycle (a run that hangs stops them, and systemd restarts the
// service), STOPPING at the end. The environment (NOTIFY_SOCKET, and
// WATCHDOG_USEC / WATCHDOG_PID for the watchdog) is read once, when the
// object is made. Builds without libsystemd, and runs that no manager
// started, send nothing: every call is then a cheap no-op.
//
// Thread safety: any method may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace terramod {

class ServiceNotifier {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    ServiceNotifier();
    // With a clock of the caller's (tests): the watchdog's spacing is
    // measured on it.
    explicit ServiceNotifier(Clock clock);
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // A service manager listens (NOTIFY_SOCKET was set) and this build can
    // tell it.
    bool enabled() const { return enabled_; }
    // The watchdog interval the manager asked for, or zero (no watchdog).
    std::chrono::microseconds watchdog_interval() const { return watchdog_interval_; }

    // "READY=1" with "STATUS=text"; only the first call sends.
    void ready(const std::string& text = "on air");
    // "STATUS=text" (a line break in text becomes a space).
    void status(const std::string& text);
    // "WATCHDOG=1", at most once per half watchdog interval: cheap enough to
    // call after every cycle. Sends nothing without a watchdog.
    void watchdog();
    // "STOPPING=1".
    void stopping();

    // A message for the log, each at most once, then empty: why nothing is
    // sent although a manager listens (a build without libsystemd, an
    // unusable WATCHDOG_USEC), or the first notification that failed.
    std::string take_warning();

  private:
    void send(const std::string& message);

    Clock clock_;
    bool enabled_ = false;
    std::chrono::microseconds watchdog_interval_{0};

    std::mutex mutex_;
    bool ready_sent_ = false;
    bool pinged_ = false;
    std::chrono::steady_clock::time_point last_ping_;
    bool send_failed_ = false;  // the first failure only is reported
    std::string warning_;
};

}  // namespace terramod
