// A network input from the command line to the chain: the packets a UDP
// sender sends reach the chain as a file's do; in a paced run a stall of the
// sender keeps the run going with a TS loss alarm and the stream's packets
// before it intact; and the faults of opening one are fatal with a message.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <memory>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/live_run.h"

namespace terramod::e2e {
namespace {

// A UDP socket on the loopback interface; bound to `port` when given.
class UdpSocket {
  public:
    UdpSocket() : descriptor_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~UdpSocket() { ::close(descriptor_); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool bind_to(uint16_t port) {
        const sockaddr_in address = loopback(port);
        return ::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
               0;
    }
    uint16_t bound_port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    // `bytes` in datagrams of 7 packets.
    void send_stream(const std::string& bytes, uint16_t port) const {
        const sockaddr_in address = loopback(port);
        for (size_t at = 0; at < bytes.size(); at += 1316) {
            const size_t length = std::min<size_t>(1316, bytes.size() - at);
            ::sendto(descriptor_, bytes.data() + at, length, 0,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address);
            // The receiver's socket buffer is large; a pause now and then
            // keeps a slow machine's receive thread in step all the same.
            if (at / 1316 % 32 == 31) std::this_thread::sleep_for(milliseconds(2));
        }
    }

  private:
    static sockaddr_in loopback(uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    int descriptor_;
};

uint16_t free_udp_port() {
    UdpSocket probe;
    if (!probe.bind_to(0)) return 0;
    return probe.bound_port();
}

// Waits until a socket is bound to `port` (the run has opened its input),
// as the kernel's table of UDP sockets shows: binding a probe would take the
// port from the run.
bool wait_until_bound(uint16_t port, milliseconds limit) {
    char local_port[8];
    std::snprintf(local_port, sizeof local_port, ":%04X ", port);
    const Clock::time_point deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (read_file("/proc/net/udp").find(local_port) != std::string::npos) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

// Waits until the log shows `cycles` cycles' progress lines (a stream's:
// "... MB in, ... s out"); the dumps are whole only once the run has ended.
bool wait_for_cycles(const fs::path& log, int cycles, milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (count_of(read_file(log), " s out (") >= cycles) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

class LiveInputE2e : public E2eTest {
  protected:
    // The energy dispersal dump of a file run over `stream`.
    std::string file_run_dump(const std::string& stream) {
        write_file(path("in.ts"), stream);
        const RunResult result = run({"-i", "in.ts", "-o", "ref", "-d", "e", "-l", "ref.log"});
        EXPECT_EQ(result.exit_code, 0);
        return read_file(path("ref_ed.bin"));
    }
    // terramod receiving on a free loopback port (its name in `name_`) with
    // the energy dispersal dump and a log at level 2, once it has bound.
    std::unique_ptr<LiveRun> start_live_run(const std::vector<std::string>& options) {
        port_ = free_udp_port();
        if (port_ == 0) return nullptr;
        name_ = "udp://127.0.0.1:" + std::to_string(port_);
        std::vector<std::string> arguments = {"-i", name_};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {"-o", "s", "-d", "e", "-l", "run.log", "-v", "2"});
        auto run = std::make_unique<LiveRun>(directory_, arguments, false, false);
        if (!wait_until_bound(port_, milliseconds(5000))) return nullptr;
        return run;
    }
    uint16_t port_ = 0;
    std::string name_;
};

// Not paced (a file output): the run waits for the stream and the chain gets
// exactly a file's packets; SIGINT ends it as a complete run.
TEST_F(LiveInputE2e, AUdpStreamReachesTheChainAsTheSameFileDoes) {
    const std::string stream = make_stream(6 * kTsBytes);
    const std::string expected = file_run_dump(stream);
    const std::unique_ptr<LiveRun> started = start_live_run({});
    ASSERT_TRUE(started);
    LiveRun& run = *started;
    const std::string& name = name_;
    const uint16_t port = port_;
    UdpSocket sender;
    sender.send_stream(stream, port);
    ASSERT_TRUE(wait_for_cycles(path("run.log"), 6, milliseconds(10000)));
    run.signal(SIGINT);
    EXPECT_EQ(exit_code(run.wait(milliseconds(5000))), 0);
    EXPECT_EQ(read_file(path("s_ed.bin")), expected);
    const std::string log = read_file(path("run.log"));
    EXPECT_NE(log.find("WARNING: SIGINT stopped the run after " + std::to_string(stream.size())),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Live input " + name + ": "), std::string::npos);
}

// Paced (--realtime): the buffer is filled before the first cycle, the
// sender's stall is a TS loss the run goes through with null packets, and
// the loss ends when the stream comes back (another begins when it ends).
TEST_F(LiveInputE2e, APacedRunGoesThroughAStallWithATsLossAlarm) {
    const std::string stream = make_stream(6 * kTsBytes);
    const std::string expected = file_run_dump(stream);
    const std::unique_ptr<LiveRun> started =
        start_live_run({"--realtime", "--input-buffer", "100"});
    ASSERT_TRUE(started);
    LiveRun& run = *started;
    const std::string& name = name_;
    const uint16_t port = port_;
    UdpSocket sender;
    const std::string first_half = stream.substr(0, 3 * kTsBytes);
    sender.send_stream(first_half, port);
    std::this_thread::sleep_for(milliseconds(1500));
    sender.send_stream(stream.substr(first_half.size()), port);
    std::this_thread::sleep_for(milliseconds(800));
    run.signal(SIGINT);
    EXPECT_EQ(exit_code(run.wait(milliseconds(5000))), 0);
    // The cycles before the stall carry the stream as a file run does.
    const std::string dump = read_file(path("s_ed.bin"));
    ASSERT_GE(dump.size(), first_half.size());
    EXPECT_EQ(dump.substr(0, first_half.size()), expected.substr(0, first_half.size()));
    const std::string log = read_file(path("run.log"));
    // One loss during the stall, one after the stream's end.
    EXPECT_EQ(count_of(log, "WARNING: TS loss: no input from " + name + ": null packets from "), 2)
        << log;
    EXPECT_EQ(count_of(log, "TS loss ended: input from " + name + " again; null packets from "), 1)
        << log;
    EXPECT_NE(log.find("TS losses: 2 ("), std::string::npos) << log;
}

// Datagrams that are not transport stream, in the middle of a paced run:
// warned of, never carried, and the signal stays on the air (a TS loss).
TEST_F(LiveInputE2e, DatagramsThatAreNoTransportStreamKeepThePacedRunOnAir) {
    const std::string stream = make_stream(3 * kTsBytes);
    const std::string expected = file_run_dump(stream);
    const std::unique_ptr<LiveRun> started =
        start_live_run({"--realtime", "--input-buffer", "100"});
    ASSERT_TRUE(started);
    LiveRun& run = *started;
    const std::string& name = name_;
    const uint16_t port = port_;
    UdpSocket sender;
    sender.send_stream(stream, port);
    std::this_thread::sleep_for(milliseconds(600));
    for (int datagram = 0; datagram < 20; ++datagram) {
        sender.send_stream(std::string(100, 'x'), port);
        std::this_thread::sleep_for(milliseconds(20));
    }
    std::this_thread::sleep_for(milliseconds(300));
    run.signal(SIGINT);
    EXPECT_EQ(exit_code(run.wait(milliseconds(5000))), 0);
    const std::string dump = read_file(path("s_ed.bin"));
    ASSERT_GE(dump.size(), expected.size());
    EXPECT_EQ(dump.substr(0, expected.size()), expected);
    const std::string log = read_file(path("run.log"));
    EXPECT_NE(log.find("WARNING: " + name +
                       ": a datagram of 100 bytes is not whole transport "
                       "stream packets (0 packets kept)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(name + ": 47 datagrams, "), std::string::npos) << log;
    EXPECT_NE(log.find("20 datagrams not transport stream"), std::string::npos) << log;
}

// Each fault of opening a network input stops the run before anything is
// sent, with a message that names the input and the reason.
TEST_F(LiveInputE2e, OpeningFaultsAreFatalWithTheirReason) {
    write_file(path("in.ts"), make_stream(kTsBytes));
    UdpSocket holder;
    ASSERT_TRUE(holder.bind_to(0));
    const std::string taken = "udp://127.0.0.1:" + std::to_string(holder.bound_port());
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string nobody = "127.0.0.1:" + std::to_string(free_udp_port());
    std::vector<Case> cases = {
        {{"-i", taken}, "FATAL ERROR: " + taken + ": cannot bind (Address already in use"},
        {{"-i", "udp://127.0.0.1:5000?bufer=1"},
         "FATAL ERROR: udp://127.0.0.1:5000?bufer=1: unknown setting \"bufer\""},
        {{"-i", "udp://127.0.0.1"}, "FATAL ERROR: udp://127.0.0.1: "},
        {{"-i", "in.ts", "--input-backup", "udp://127.0.0.1:5000"},
         "FATAL ERROR: --input-backup needs a live input (-i udp://... or srt://...)"},
        {{"-i", "udp://127.0.0.1:0?buffer=65536", "--input-backup", "in.ts"},
         "FATAL ERROR: --input-backup in.ts: a live input (udp://..., srt://...) expected"},
    };
#ifdef TERRAMOD_HAVE_SRT
    // The name in the message leaves out the settings (a passphrase among them).
    cases.push_back({{"-i", "srt://" + nobody + "?timeout=300&passphrase=secret-words"},
                     "FATAL ERROR: srt://" + nobody + ": cannot connect (no answer within 300 ms"});
#endif
    for (const Case& test : cases) {
        std::vector<std::string> arguments = test.arguments;
        arguments.insert(arguments.end(), {"-o", "s", "-d", "e", "-l", "run.log", "-v", "1"});
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 1) << test.message;
        EXPECT_NE(result.console.find(test.message), std::string::npos) << test.message << "\n"
                                                                        << result.console;
        EXPECT_FALSE(fs::exists(path("s_ed.bin"))) << test.message;
    }
}

}  // namespace
}  // namespace terramod::e2e
