// The notifier against a socket of the test's own, as systemd listens: a unix
// datagram socket in a temporary folder that NOTIFY_SOCKET names. A send to
// it is complete when sendmsg() returns, so "nothing was sent" is checked
// without waiting.
#include "ops/service_notifier.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ops/test_sockets.h"

namespace terramod {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using TimePoint = std::chrono::steady_clock::time_point;

// Sets (or, with a null value, removes) the service manager's variables for a
// test and puts the old values back afterwards.
class ScopedEnvironment {
  public:
    ScopedEnvironment() {
        for (const char* name : kNames) {
            const char* value = getenv(name);
            saved_.emplace_back(value != nullptr ? std::optional<std::string>(value)
                                                 : std::nullopt);
        }
    }
    ~ScopedEnvironment() {
        for (size_t index = 0; index < saved_.size(); ++index)
            set(kNames[index], saved_[index] ? saved_[index]->c_str() : nullptr);
    }
    static void set(const char* name, const char* value) {
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }

  private:
    static constexpr const char* kNames[] = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    std::vector<std::optional<std::string>> saved_;
};

// The service manager's end: a bound datagram socket.
class NotifySocket {
  public:
    NotifySocket() : path_(folder_.file("notify")) {
        socket_ = test::TestSocket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        if (bind(socket_.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
            socket_.close();
    }
    bool ok() const { return socket_.valid(); }
    const std::string& path() const { return path_; }

    // The next datagram, waiting at most two seconds for it.
    std::optional<std::string> receive() {
        pollfd waiting{socket_.fd(), POLLIN, 0};
        if (poll(&waiting, 1, 2000) != 1) return std::nullopt;
        return take(0);
    }
    // A datagram already queued, without waiting.
    std::optional<std::string> queued() { return take(MSG_DONTWAIT); }

  private:
    std::optional<std::string> take(int flags) {
        char buffer[4096];
        const ssize_t size = recv(socket_.fd(), buffer, sizeof(buffer), flags);
        if (size < 0) return std::nullopt;
        return std::string(buffer, static_cast<size_t>(size));
    }

    test::TempFolder folder_;
    std::string path_;
    test::TestSocket socket_;
};

// A clock the test moves by hand.
struct ManualClock {
    TimePoint now{};
    ServiceNotifier::Clock function() {
        return [this] { return now; };
    }
};

TEST(ServiceNotifier, WithoutServiceManagerSendsNothingAndSaysNothing) {
    ScopedEnvironment environment;
    environment.set("NOTIFY_SOCKET", nullptr);
    environment.set("WATCHDOG_USEC", "10000000");
    ServiceNotifier notifier;
    EXPECT_FALSE(notifier.enabled());
    EXPECT_EQ(notifier.watchdog_interval().count(), 0);
    notifier.ready();
    notifier.status("running");
    notifier.watchdog();
    notifier.stopping();
    EXPECT_EQ(notifier.take_warning(), "");
}

#ifdef TERRAMOD_HAVE_SYSTEMD

TEST(ServiceNotifier, SendsReadyStatusWatchdogAndStoppingAsTheManagerExpects) {
    NotifySocket manager;
    ASSERT_TRUE(manager.ok());
    ScopedEnvironment environment;
    environment.set("NOTIFY_SOCKET", manager.path().c_str());
    environment.set("WATCHDOG_USEC", "10000000");  // WatchdogSec=10
    environment.set("WATCHDOG_PID", std::to_string(getpid()).c_str());
    ManualClock clock;
    ServiceNotifier notifier(clock.function());
    ASSERT_TRUE(notifier.enabled());
    EXPECT_EQ(notifier.watchdog_interval(), seconds(10));

    enum class Call { kReady, kStatus, kWatchdog, kStopping };
    struct Step {
        Call call;
        milliseconds at;       // the clock, from the start
        const char* text;      // for ready() and status()
        const char* expected;  // the datagram, or nullptr: nothing sent
    };
    // Pings at most every 5 s, half of the 10 s interval.
    const Step steps[] = {
        {Call::kReady, milliseconds(0), "on air", "READY=1\nSTATUS=on air"},
        {Call::kReady, milliseconds(0), "again", nullptr},  // once only
        {Call::kStatus, milliseconds(0), "3.0 s out, 1.00x real time",
         "STATUS=3.0 s out, 1.00x real time"},
        {Call::kStatus, milliseconds(0), "two\nlines\r", "STATUS=two lines "},
        {Call::kStatus, milliseconds(0), "READY=1\nWATCHDOG=1", "STATUS=READY=1 WATCHDOG=1"},
        {Call::kWatchdog, milliseconds(1000), "", "WATCHDOG=1"},
        {Call::kWatchdog, milliseconds(5999), "", nullptr},
        {Call::kWatchdog, milliseconds(6000), "", "WATCHDOG=1"},
        {Call::kWatchdog, milliseconds(30000), "", "WATCHDOG=1"},
        {Call::kWatchdog, milliseconds(34999), "", nullptr},
        {Call::kStopping, milliseconds(35000), "", "STOPPING=1"},
    };
    const TimePoint start = clock.now;
    int index = 0;
    for (const Step& step : steps) {
        clock.now = start + step.at;
        switch (step.call) {
            case Call::kReady:
                notifier.ready(step.text);
                break;
            case Call::kStatus:
                notifier.status(step.text);
                break;
            case Call::kWatchdog:
                notifier.watchdog();
                break;
            case Call::kStopping:
                notifier.stopping();
                break;
        }
        if (step.expected != nullptr) {
            EXPECT_EQ(manager.receive(), std::optional<std::string>(step.expected))
                << "step " << index;
        }
        EXPECT_EQ(manager.queued(), std::nullopt) << "step " << index;
        ++index;
    }
    EXPECT_EQ(notifier.take_warning(), "");
}

TEST(ServiceNotifier, WatchdogFollowsTheEnvironment) {
    const std::string own_pid = std::to_string(getpid());
    const std::string other_pid = std::to_string(getpid() + 1);
    struct Case {
        const char* usec;  // WATCHDOG_USEC, nullptr: unset
        const char* pid;   // WATCHDOG_PID, nullptr: unset
        long long interval_us;
        bool warns;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0, false},                  // WatchdogSec not set
        {"2000000", own_pid.c_str(), 2000000, false},  // for this process
        {"2000000", nullptr, 2000000, false},          // for whoever reads it
        {"2000000", other_pid.c_str(), 0, false},      // for another process
        {"soon", own_pid.c_str(), 0, true},
        {"0", own_pid.c_str(), 0, true},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.usec != nullptr ? c.usec : "(unset)") + " / " +
                                  (c.pid != nullptr ? c.pid : "(unset)");
        NotifySocket manager;
        ASSERT_TRUE(manager.ok());
        ScopedEnvironment environment;
        environment.set("NOTIFY_SOCKET", manager.path().c_str());
        environment.set("WATCHDOG_USEC", c.usec);
        environment.set("WATCHDOG_PID", c.pid);
        ManualClock clock;
        ServiceNotifier notifier(clock.function());
        EXPECT_TRUE(notifier.enabled()) << label;
        EXPECT_EQ(notifier.watchdog_interval().count(), c.interval_us) << label;
        const std::string warning = notifier.take_warning();
        EXPECT_EQ(!warning.empty(), c.warns) << label << ": " << warning;
        if (c.warns) {
            EXPECT_NE(warning.find("WATCHDOG_USEC"), std::string::npos) << warning;
        }
        notifier.watchdog();
        if (c.interval_us > 0) {
            EXPECT_EQ(manager.receive(), std::optional<std::string>("WATCHDOG=1")) << label;
        }
        EXPECT_EQ(manager.queued(), std::nullopt) << label;
        // Status and stopping go to the manager in every case.
        notifier.stopping();
        EXPECT_EQ(manager.receive(), std::optional<std::string>("STOPPING=1")) << label;
    }
}

TEST(ServiceNotifier, FirstFailedNotificationIsReportedOnce) {
    const test::TempFolder folder;
    const std::string nobody = folder.file("nobody-listens");
    ScopedEnvironment environment;
    environment.set("NOTIFY_SOCKET", nobody.c_str());
    environment.set("WATCHDOG_USEC", nullptr);
    ServiceNotifier notifier;
    EXPECT_TRUE(notifier.enabled());
    notifier.ready();
    const std::string warning = notifier.take_warning();
    EXPECT_NE(warning.find("READY=1"), std::string::npos) << warning;
    EXPECT_NE(warning.find("failed"), std::string::npos) << warning;
    notifier.status("still no manager");
    notifier.stopping();
    EXPECT_EQ(notifier.take_warning(), "");
}

#else  // !TERRAMOD_HAVE_SYSTEMD

TEST(ServiceNotifier, BuildWithoutLibsystemdSaysSoAndSendsNothing) {
    NotifySocket manager;
    ASSERT_TRUE(manager.ok());
    ScopedEnvironment environment;
    environment.set("NOTIFY_SOCKET", manager.path().c_str());
    environment.set("WATCHDOG_USEC", "10000000");
    environment.set("WATCHDOG_PID", std::to_string(getpid()).c_str());
    ServiceNotifier notifier;
    EXPECT_FALSE(notifier.enabled());
    const std::string warning = notifier.take_warning();
    EXPECT_NE(warning.find("built without libsystemd-dev"), std::string::npos) << warning;
    EXPECT_EQ(notifier.take_warning(), "");
    notifier.ready();
    notifier.status("running");
    notifier.watchdog();
    notifier.stopping();
    EXPECT_EQ(manager.queued(), std::nullopt);
}

#endif

}  // namespace
}  // namespace terramod
