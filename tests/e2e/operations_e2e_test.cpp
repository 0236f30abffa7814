// The operations options in runs: what an operator gets when an address is
// taken or malformed, or the events file cannot be made, and that a run with
// them transmits the same samples as one without.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

// A loopback TCP port held by the test while it lives.
class HeldPort {
  public:
    HeldPort() {
        descriptor_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(descriptor_, 1);
        socklen_t size = sizeof address;
        ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~HeldPort() { ::close(descriptor_); }
    std::string port() const { return std::to_string(port_); }

  private:
    int descriptor_ = -1;
    uint16_t port_ = 0;
};

class OperationsE2e : public E2eTest {};

TEST_F(OperationsE2e, AnAddressInUseIsAWarningAndTheSamplesAreTheSame) {
    write_file(path("in.ts"), make_stream(188 * 2000));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "plain", "-d", "t", "-l", "plain.log"}).exit_code, 0);
    const HeldPort metrics, control;
    const RunResult result =
        run({"-i", "in.ts", "-o", "watched", "-d", "t", "-l", "watched.log", "--metrics-listen",
             metrics.port(), "--control", "tcp:" + control.port(), "--events", "events.jsonl"});
    EXPECT_EQ(result.exit_code, 0) << result.console;
    EXPECT_NE(result.console.find("WARNING: no metrics endpoint: 127.0.0.1:" + metrics.port() +
                                  ": address in use -> transmitting without it"),
              std::string::npos)
        << result.console;
    EXPECT_NE(result.console.find("WARNING: no remote control: tcp:127.0.0.1:" + control.port() +
                                  ": address in use -> transmitting without it"),
              std::string::npos)
        << result.console;
    EXPECT_EQ(read_file(path("watched.bin")), read_file(path("plain.bin")));
    const std::string events = read_file(path("events.jsonl"));
    for (const char* name : {"\"start\"", "\"metrics_unavailable\"", "\"control_unavailable\"",
                             "\"on_air\"", "\"stop\""})
        EXPECT_EQ(count_of(events, std::string("\"event\":") + name), 1) << name << events;
    EXPECT_NE(events.find("\"exit_code\":0,\"reason\":\"complete\"}"), std::string::npos);
}

// Settings an operator got wrong stop the run before anything is written.
TEST_F(OperationsE2e, WrongAddressesAndEventsFilesStopBeforeTheAir) {
    struct Case {
        std::vector<std::string> options;
        const char* message;
    };
    const Case cases[] = {
        {{"--control", "bogus"}, "FATAL ERROR: --control bogus: "},
        {{"--control", "tcp:99999"}, "FATAL ERROR: --control tcp:99999: "},
        {{"--events", "no/such/folder/events.jsonl"},
         "FATAL ERROR: can't open the events file \"no/such/folder/events.jsonl\": "},
    };
    write_file(path("in.ts"), make_stream(188 * 100));
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out", "-d", "t", "-l", "x.log"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 1) << c.message;
        EXPECT_NE(result.console.find(c.message), std::string::npos) << result.console;
        EXPECT_FALSE(fs::exists(path("out.bin"))) << c.message;
    }
}

}  // namespace
}  // namespace terramod::e2e
