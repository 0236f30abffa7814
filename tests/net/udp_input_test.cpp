// UDP and RTP inputs over the loopback interface: real sockets on free
// ports, every wait bounded by a deadline.

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "net/network_input.h"

namespace terramod {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Datagrams

// `count` packets whose bytes 4..7 carry first, first + 1, ... (big-endian).
Bytes tagged_packets(uint32_t first, size_t count) {
    Bytes bytes(count * ts::kPacketSize, 0xFF);
    for (size_t index = 0; index < count; ++index) {
        uint8_t* packet = &bytes[index * ts::kPacketSize];
        const uint32_t tag = first + static_cast<uint32_t>(index);
        packet[0] = ts::kSyncByte;
        packet[1] = 0x01;  // PID 0x100
        packet[2] = 0x00;
        packet[3] = 0x10;
        packet[4] = static_cast<uint8_t>(tag >> 24);
        packet[5] = static_cast<uint8_t>(tag >> 16);
        packet[6] = static_cast<uint8_t>(tag >> 8);
        packet[7] = static_cast<uint8_t>(tag);
    }
    return bytes;
}

uint32_t tag_of(const QueuedPacket& packet) {
    return uint32_t{packet.bytes[4]} << 24 | uint32_t{packet.bytes[5]} << 16 |
           uint32_t{packet.bytes[6]} << 8 | packet.bytes[7];
}

std::vector<uint32_t> tags(uint32_t first, size_t count) {
    std::vector<uint32_t> list;
    for (size_t index = 0; index < count; ++index)
        list.push_back(first + static_cast<uint32_t>(index));
    return list;
}

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// An RTP header (RFC 3550 5.1) with `csrc_count` contributing sources, a
// header extension of `extension_words` 32-bit words when asked, and
// `padding` bytes at the end (the last one their count).
struct RtpShape {
    int csrc_count = 0;
    std::optional<int> extension_words;
    int padding = 0;
};

Bytes rtp_datagram(uint16_t sequence, const Bytes& payload, RtpShape shape = {}) {
    const uint8_t flags =
        static_cast<uint8_t>(0x80 | (shape.padding > 0 ? 0x20 : 0) |
                             (shape.extension_words ? 0x10 : 0) | shape.csrc_count);
    const uint8_t fixed_header[12] = {flags,
                                      33,  // MP2T
                                      static_cast<uint8_t>(sequence >> 8),
                                      static_cast<uint8_t>(sequence),
                                      0x00,
                                      0x01,
                                      0x02,
                                      0x03,  // timestamp
                                      0xDE,
                                      0xAD,
                                      0xBE,
                                      0xEF};  // SSRC
    Bytes datagram;
    datagram.reserve(sizeof fixed_header + 64 + 4 * 255 + payload.size() + 255);
    datagram.assign(std::begin(fixed_header), std::end(fixed_header));
    datagram.resize(datagram.size() + 4 * shape.csrc_count, 0xC5);
    if (shape.extension_words) {
        const int words = *shape.extension_words;
        const Bytes extension = {0xAB, 0xCD, 0, static_cast<uint8_t>(words)};
        datagram.insert(datagram.end(), extension.begin(), extension.end());
        datagram.resize(datagram.size() + 4 * words, 0x47);  // sync bytes to mislead
    }
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    if (shape.padding > 0) {
        datagram.resize(datagram.size() + shape.padding - 1, 0);
        datagram.push_back(static_cast<uint8_t>(shape.padding));
    }
    return datagram;
}

// ---------------------------------------------------------------------------
// Sockets

class Socket {
  public:
    explicit Socket(int family) : fd_(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

sockaddr_storage socket_address(const std::string& address, uint16_t port) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
    }
    return storage;
}

socklen_t length_of(const sockaddr_storage& storage) {
    return storage.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

bool bind_socket(const Socket& socket, const std::string& address, uint16_t port) {
    const sockaddr_storage storage = socket_address(address, port);
    return ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&storage), length_of(storage)) ==
           0;
}

uint16_t bound_port(const Socket& socket) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
    return ntohs(storage.ss_family == AF_INET
                     ? reinterpret_cast<const sockaddr_in*>(&storage)->sin_port
                     : reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
}

// A port free on `address` just now (the system's choice for port 0).
uint16_t free_port(const std::string& address) {
    const sockaddr_storage storage = socket_address(address, 0);
    const Socket probe(storage.ss_family);
    if (!probe.valid() || !bind_socket(probe, address, 0)) return 0;
    return bound_port(probe);
}

bool can_bind(const std::string& address) {
    return free_port(address) != 0;
}

class Sender {
  public:
    // From `from` (any address of the family when empty).
    explicit Sender(int family, const std::string& from = "") : socket_(family) {
        if (!from.empty()) {
            EXPECT_TRUE(bind_socket(socket_, from, 0)) << std::strerror(errno);
        }
    }
    int get() const { return socket_.get(); }
    void send(const std::string& address, uint16_t port, const Bytes& datagram) {
        const sockaddr_storage storage = socket_address(address, port);
        const ssize_t sent =
            ::sendto(socket_.get(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&storage), length_of(storage));
        EXPECT_EQ(sent, static_cast<ssize_t>(datagram.size()))
            << address << ": " << std::strerror(errno);
    }

  private:
    Socket socket_;
};

size_t open_descriptors() {
    size_t count = 0;
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory) return 0;
    while (::readdir(directory)) ++count;
    ::closedir(directory);
    return count;
}

// ---------------------------------------------------------------------------
// Inputs

// Until `done` holds or `deadline` passes; returns `done()`.
bool wait_for(const std::function<bool()>& done, Clock::duration limit = 3s) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Pops packets until `count` have come or the deadline passes.
std::vector<QueuedPacket> collect(PacketQueue& queue, size_t count, Clock::duration limit = 3s) {
    const Clock::time_point deadline = Clock::now() + limit;
    std::vector<QueuedPacket> packets;
    while (packets.size() < count && queue.wait_until_nonempty(deadline)) {
        std::vector<QueuedPacket> some(count - packets.size());
        some.resize(queue.pop(some));
        packets.insert(packets.end(), some.begin(), some.end());
    }
    return packets;
}

std::vector<uint32_t> tags_of(const std::vector<QueuedPacket>& packets) {
    std::vector<uint32_t> list;
    for (const QueuedPacket& packet : packets) list.push_back(tag_of(packet));
    return list;
}

std::string with_port(std::string pattern, uint16_t port) {
    const size_t at = pattern.find("PORT");
    return pattern.replace(at, 4, std::to_string(port));
}

struct OpenedInput {
    std::unique_ptr<NetworkInput> input;
    uint16_t port = 0;
    std::string name;
};

// Opens `pattern` ("udp://127.0.0.1:PORT") on a port free on `probe_address`
// (another program may take it in between: then another port).
OpenedInput open_on_free_port(const std::string& pattern, const std::string& probe_address,
                              Log& log) {
    OpenedInput opened;
    for (int attempt = 0; attempt < 5 && !opened.input; ++attempt) {
        opened.port = free_port(probe_address);
        if (opened.port == 0) break;
        opened.name = with_port(pattern, opened.port);
        opened.input = open_network_input(opened.name, NetworkInputOptions{}, log);
    }
    return opened;
}

class UdpInputTest : public ::testing::Test {
  protected:
    UdpInputTest() : log_(0, nullptr) { log_.capture_to(&log_text_); }

    Log log_;
    std::string log_text_;
};

// A buffer the system grants without privileges, so that no warning is raised.
constexpr const char* kSmallBuffer = "buffer=100000";

TEST_F(UdpInputTest, UnicastSevenPacketsPerDatagram) {
    struct Case {
        std::string pattern;
        std::vector<std::string> send_to;
    };
    const std::string query = std::string("?") + kSmallBuffer;
    const Case cases[] = {
        {"udp://127.0.0.1:PORT" + query, {"127.0.0.1"}},
        {"udp://@127.0.0.1:PORT" + query, {"127.0.0.1"}},
        {"udp://:PORT" + query, {"127.0.0.1"}},
        {"udp://@:PORT" + query, {"127.0.0.1"}},
        {"udp://127.0.0.1:PORT" + query + "&interface=lo", {"127.0.0.1"}},
        // A name: sent to both loopback addresses, received on the one it
        // resolves to.
        {"udp://localhost:PORT" + query, {"127.0.0.1", "::1"}},
    };
    for (const Case& c : cases) {
        OpenedInput opened = open_on_free_port(c.pattern, "127.0.0.1", log_);
        ASSERT_TRUE(opened.input) << c.pattern << ": " << log_text_;
        NetworkInput& input = *opened.input;
        input.start();
        const Clock::time_point before = Clock::now();
        for (uint32_t datagram = 0; datagram < 3; ++datagram) {
            for (const std::string& address : c.send_to) {
                Sender sender(address.find(':') == std::string::npos ? AF_INET : AF_INET6);
                if (sender.get() >= 0)
                    sender.send(address, opened.port, tagged_packets(datagram * 7, 7));
            }
        }
        const std::vector<QueuedPacket> packets = collect(input.queue(), 21);
        const Clock::time_point after = Clock::now();
        EXPECT_EQ(tags_of(packets), tags(0, 21)) << opened.name;
        for (size_t index = 0; index < packets.size(); ++index) {
            EXPECT_GE(packets[index].arrival, before);
            EXPECT_LE(packets[index].arrival, after);
            if (index > 0) {
                EXPECT_GE(packets[index].arrival, packets[index - 1].arrival);
            }
        }
        input.stop();
        EXPECT_EQ(input.counters().datagrams.load(), 3u) << opened.name;
        EXPECT_EQ(input.counters().bytes.load(), 3u * 7 * 188) << opened.name;
        EXPECT_EQ(input.counters().bad_datagrams.load(), 0u) << opened.name;
        EXPECT_EQ(input.queue().size(), 0u) << opened.name;
        EXPECT_TRUE(input.take_messages().empty()) << opened.name;
    }
    EXPECT_EQ(log_text_, "");
}

TEST_F(UdpInputTest, UnicastIpv6) {
    if (!can_bind("::1")) GTEST_SKIP() << "no IPv6 on the loopback interface";
    const std::pair<std::string, std::string> cases[] = {
        {"udp://[::1]:PORT?buffer=100000", "::1"},
        {"udp://[::]:PORT?buffer=100000", "::1"},
        // No host: IPv4 too, on the same socket.
        {"udp://:PORT?buffer=100000", "127.0.0.1"},
    };
    for (const auto& [pattern, send_to] : cases) {
        OpenedInput opened = open_on_free_port(pattern, "::1", log_);
        ASSERT_TRUE(opened.input) << pattern << ": " << log_text_;
        opened.input->start();
        Sender sender(send_to == "::1" ? AF_INET6 : AF_INET);
        sender.send(send_to, opened.port, tagged_packets(100, 7));
        EXPECT_EQ(tags_of(collect(opened.input->queue(), 7)), tags(100, 7)) << opened.name;
    }
}

// Sends multicast from `source` through the loopback interface.
class LoopbackMulticast {
  public:
    explicit LoopbackMulticast(const std::string& source = "127.0.0.1") : sender_(AF_INET, source) {
        ip_mreqn request{};
        request.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
        ready_ =
            ::setsockopt(sender_.get(), IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) == 0;
    }
    bool ready() const { return ready_; }
    void send(const std::string& group, uint16_t port, const Bytes& datagram) {
        sender_.send(group, port, datagram);
    }

  private:
    Sender sender_;
    bool ready_ = false;
};

TEST_F(UdpInputTest, MulticastOnTheLoopbackInterface) {
    LoopbackMulticast multicast;
    if (!multicast.ready()) GTEST_SKIP() << "cannot send multicast through lo";
    const std::string group = "239.255.77.1";
    OpenedInput first =
        open_on_free_port("udp://@" + group + ":PORT?interface=lo&buffer=100000", group, log_);
    if (!first.input) GTEST_SKIP() << "cannot join " << group << " on lo: " << log_text_;
    // A second receiver of the same group and port (SO_REUSEADDR).
    const std::string second_name =
        "udp://" + group + ":" + std::to_string(first.port) + "?interface=lo&buffer=100000";
    std::unique_ptr<NetworkInput> second = open_network_input(second_name, {}, log_);
    ASSERT_TRUE(second) << log_text_;
    first.input->start();
    second->start();
    multicast.send(group, first.port, tagged_packets(0, 7));
    const std::vector<QueuedPacket> packets = collect(first.input->queue(), 7, 1s);
    if (packets.empty()) GTEST_SKIP() << "no multicast delivery on lo";
    EXPECT_EQ(tags_of(packets), tags(0, 7));
    EXPECT_EQ(tags_of(collect(second->queue(), 7)), tags(0, 7));
    EXPECT_EQ(log_text_, "");
}

TEST_F(UdpInputTest, SourceSpecificMulticastKeepsItsSourceOnly) {
    LoopbackMulticast from_first("127.0.0.1");
    LoopbackMulticast from_second("127.0.0.2");
    if (!from_first.ready() || !from_second.ready())
        GTEST_SKIP() << "cannot send multicast through lo";
    const std::string group = "232.255.77.2";
    OpenedInput first = open_on_free_port(
        "udp://127.0.0.1@" + group + ":PORT?interface=lo&buffer=100000", group, log_);
    if (!first.input) GTEST_SKIP() << "cannot join " << group << " on lo: " << log_text_;
    const std::string second_name = "udp://127.0.0.2@" + group + ":" + std::to_string(first.port) +
                                    "?interface=lo&buffer=100000";
    std::unique_ptr<NetworkInput> second = open_network_input(second_name, {}, log_);
    ASSERT_TRUE(second) << log_text_;
    first.input->start();
    second->start();
    from_first.send(group, first.port, tagged_packets(0, 7));
    from_second.send(group, first.port, tagged_packets(7, 7));
    const std::vector<QueuedPacket> packets = collect(first.input->queue(), 7, 1s);
    if (packets.empty()) GTEST_SKIP() << "no source-specific multicast delivery on lo";
    EXPECT_EQ(tags_of(packets), tags(0, 7));
    // Each its own: the other source's datagram, sent before or after its
    // own, is not there once its own is.
    EXPECT_EQ(tags_of(collect(second->queue(), 7)), tags(7, 7));
    first.input->stop();
    second->stop();
    EXPECT_EQ(first.input->counters().datagrams.load(), 1u);
    EXPECT_EQ(second->counters().datagrams.load(), 1u);
    EXPECT_EQ(log_text_, "");
}

TEST_F(UdpInputTest, RtpPutBackInSequenceOrder) {
    OpenedInput opened = open_on_free_port("udp://127.0.0.1:PORT?buffer=100000", "127.0.0.1", log_);
    ASSERT_TRUE(opened.input) << log_text_;
    NetworkInput& input = *opened.input;
    input.start();
    // Datagram k (numbered 65532 + k, wrapping) carries packets 7k .. 7k + 6.
    // Sent: 65532, 65534, 65533, 65535, 0, 0 again, 2, 3, 1, 5 (4 never).
    struct Send {
        int k;
        RtpShape shape;
    };
    const Send sends[] = {
        {0, {}}, {2, {2, std::nullopt, 0}}, {1, {}},         {3, {0, 3, 0}}, {4, {}},
        {4, {}}, {6, {0, std::nullopt, 5}}, {7, {15, 0, 1}}, {5, {}},        {9, {}},
    };
    Sender sender(AF_INET);
    for (const Send& send : sends) {
        const auto sequence = static_cast<uint16_t>(65532 + send.k);
        sender.send("127.0.0.1", opened.port,
                    rtp_datagram(sequence, tagged_packets(7 * send.k, 7), send.shape));
    }
    // Datagram 8 (numbered 4) is given up on after 100 ms; 9 follows.
    std::vector<uint32_t> expected = tags(0, 56);
    const std::vector<uint32_t> last = tags(63, 7);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(tags_of(collect(input.queue(), expected.size())), expected);
    const NetworkInputCounters& counters = input.counters();
    EXPECT_TRUE(wait_for([&] { return counters.rtp_lost.load() == 1; }));
    input.stop();
    EXPECT_EQ(counters.datagrams.load(), 10u);
    EXPECT_EQ(counters.rtp_lost.load(), 1u);
    EXPECT_EQ(counters.rtp_reordered.load(), 2u);
    EXPECT_EQ(counters.rtp_duplicates.load(), 1u);
    EXPECT_EQ(counters.bad_datagrams.load(), 0u);
    EXPECT_EQ(input.queue().size(), 0u);
    EXPECT_TRUE(input.take_messages().empty());
}

TEST_F(UdpInputTest, RtpSenderRestartIsFollowedAndSaidOnce) {
    OpenedInput opened = open_on_free_port("udp://127.0.0.1:PORT?buffer=100000", "127.0.0.1", log_);
    ASSERT_TRUE(opened.input) << log_text_;
    opened.input->start();
    Sender sender(AF_INET);
    const uint16_t sequences[] = {10, 11, 30000, 30001};
    for (uint32_t index = 0; index < 4; ++index)
        sender.send("127.0.0.1", opened.port,
                    rtp_datagram(sequences[index], tagged_packets(index, 1)));
    EXPECT_EQ(tags_of(collect(opened.input->queue(), 4)), tags(0, 4));
    opened.input->stop();
    EXPECT_EQ(opened.input->counters().rtp_lost.load(), 0u);
    EXPECT_EQ(opened.input->take_messages(),
              std::vector<std::string>{"WARNING: " + opened.name +
                                       ": RTP sequence numbers jumped to 30000 (the sender "
                                       "restarted?): following the new numbering"});
}

TEST_F(UdpInputTest, DatagramsNotOfWholePacketsAreCountedAndSaidSparingly) {
    OpenedInput opened = open_on_free_port("udp://127.0.0.1:PORT?buffer=100000", "127.0.0.1", log_);
    ASSERT_TRUE(opened.input) << log_text_;
    NetworkInput& input = *opened.input;
    input.start();
    Bytes unsynchronised_middle = tagged_packets(20, 3);
    unsynchronised_middle[188] = 0x48;
    Bytes unsynchronised = tagged_packets(30, 1);
    unsynchronised[0] = 0x46;
    Bytes rtp_bad_padding = rtp_datagram(7, tagged_packets(40, 1), {0, std::nullopt, 4});
    rtp_bad_padding.back() = 0;  // a padding count of 0
    Bytes rtp_version_1 = rtp_datagram(8, tagged_packets(50, 1));
    rtp_version_1[0] = 0x40;
    const Bytes one_packet = tagged_packets(60, 1);
    struct Case {
        std::string what;
        Bytes datagram;
        std::vector<uint32_t> kept;
    };
    const Case cases[] = {
        {"text", {'h', 'e', 'l', 'l', 'o'}, {}},
        {"empty", {}, {}},
        {"two packets and a piece", joined(tagged_packets(10, 2), Bytes(10, 0x47)), {10, 11}},
        {"a packet without its sync byte", unsynchronised, {}},
        {"three packets, the middle unsynchronised", unsynchronised_middle, {20, 22}},
        {"187 bytes", Bytes(one_packet.begin(), one_packet.end() - 1), {}},
        {"RTP, a packet and a byte", rtp_datagram(9, joined(tagged_packets(70, 1), {0x47})), {70}},
        {"RTP with a padding count of 0", rtp_bad_padding, {}},
        {"RTP version 1", rtp_version_1, {}},
        {"a header only", rtp_datagram(10, {}), {}},
    };
    Sender sender(AF_INET);
    std::vector<uint32_t> expected;
    for (const Case& c : cases) {
        sender.send("127.0.0.1", opened.port, c.datagram);
        expected.insert(expected.end(), c.kept.begin(), c.kept.end());
    }
    sender.send("127.0.0.1", opened.port, tagged_packets(90, 1));  // a good one at the end
    expected.push_back(90);
    EXPECT_EQ(tags_of(collect(input.queue(), expected.size())), expected);
    // The first at once; the rest in one summary within a second or so.
    std::vector<std::string> messages;
    EXPECT_TRUE(wait_for([&] {
        for (std::string& message : input.take_messages()) messages.push_back(std::move(message));
        return messages.size() >= 2;
    }));
    input.stop();
    EXPECT_EQ(input.queue().size(), 0u);
    EXPECT_EQ(input.counters().datagrams.load(), std::size(cases) + 1);
    EXPECT_EQ(input.counters().bad_datagrams.load(), std::size(cases));
    EXPECT_EQ(input.counters().rtp_lost.load(), 0u);  // 9 and 10 in order
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "WARNING: " + opened.name +
                                ": a datagram of 5 bytes is not whole transport stream packets "
                                "(0 packets kept)",
                            "WARNING: " + opened.name +
                                ": 9 more datagrams not whole transport stream packets (10 in "
                                "all)"}));
}

TEST_F(UdpInputTest, OpeningFailuresSayWhyAndLeaveNothingOpen) {
    // The other program lets others share its port: only an input that asks
    // to share too (which a unicast one must not) would bind.
    Socket holder(AF_INET);
    const int share = 1;
    ASSERT_EQ(::setsockopt(holder.get(), SOL_SOCKET, SO_REUSEADDR, &share, sizeof share), 0);
    ASSERT_TRUE(bind_socket(holder, "127.0.0.1", 0));
    const std::string busy = std::to_string(bound_port(holder));
    const std::string free = std::to_string(free_port("127.0.0.1"));
    const std::pair<std::string, std::string> cases[] = {
        {"udp://127.0.0.1:" + busy,
         "cannot bind (Address already in use): is another program receiving on this port?"},
        {"udp://:" + busy,
         "cannot bind (Address already in use): is another program receiving on this port?"},
        {"udp://127.0.0.1:" + free + "?interface=nosuchif0",
         "no network interface \"nosuchif0\" (No such device)"},
        {"udp://10.0.0.1@127.0.0.1:" + free,
         "a source address (\"10.0.0.1@\") is for a multicast group only"},
        {"udp://198.51.100.200:" + free, "cannot bind (Cannot assign requested address)"},
        {"udp://127.0.0.1:" + free + "?bufer=1",
         "unknown setting \"bufer\" (known: interface, buffer)"},
    };
    for (const auto& [name, problem] : cases) {
        log_text_.clear();
        const size_t descriptors = open_descriptors();
        EXPECT_FALSE(open_network_input(name, {}, log_)) << name;
        EXPECT_EQ(log_text_, "FATAL ERROR: " + name + ": " + problem + "\n");
        EXPECT_EQ(open_descriptors(), descriptors) << name;
    }
}

TEST_F(UdpInputTest, ReceiveBufferBelowTheAskedSizeIsSaid) {
    std::ifstream limit_file("/proc/sys/net/core/rmem_max");
    int64_t limit = 0;
    if (!(limit_file >> limit)) GTEST_SKIP() << "no /proc/sys/net/core/rmem_max";
    OpenedInput opened =
        open_on_free_port("udp://127.0.0.1:PORT?buffer=536870912", "127.0.0.1", log_);
    ASSERT_TRUE(opened.input) << log_text_;
    const std::vector<std::string> messages = opened.input->take_messages();
    // With CAP_NET_ADMIN the system's limit does not apply.
    if (messages.empty()) GTEST_SKIP() << "512 MiB granted: privileged";
    EXPECT_EQ(messages,
              std::vector<std::string>{
                  "WARNING: " + opened.name + ": receive buffer of " + std::to_string(limit) +
                  " bytes, not the 536870912 asked for (the system's limit: sysctl "
                  "net.core.rmem_max)"});
}

TEST_F(UdpInputTest, StopReturnsPromptlyWithoutDataAndStartsAgain) {
    OpenedInput opened = open_on_free_port("udp://127.0.0.1:PORT?buffer=100000", "127.0.0.1", log_);
    ASSERT_TRUE(opened.input) << log_text_;
    NetworkInput& input = *opened.input;
    Sender sender(AF_INET);
    for (uint32_t round = 0; round < 3; ++round) {
        input.start();
        sender.send("127.0.0.1", opened.port, tagged_packets(round, 1));
        EXPECT_EQ(tags_of(collect(input.queue(), 1)), tags(round, 1));
        // Nothing more comes: the thread waits on the socket.
        const Clock::time_point before = Clock::now();
        input.stop();
        EXPECT_LT(Clock::now() - before, 500ms);
    }
    input.start();
    const Clock::time_point before = Clock::now();
    opened.input.reset();  // the destructor stops it
    EXPECT_LT(Clock::now() - before, 500ms);
}

}  // namespace
}  // namespace terramod
