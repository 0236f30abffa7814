// The SRT input on the loopback interface, with the SRT library on both ends:
// the tests' senders are SRT sockets of their own, a caller for the listener
// input and a listener for the caller input.
#ifdef TERRAMOD_HAVE_SRT

#include "net/srt_input.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"

// For the sanitizer build (make check-sanitizers): OpenSSL keeps state per
// thread of the SRT library that is never freed, whatever the program does;
// the leak checker leaves alone what libcrypto allocated.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libcrypto.so\n";
}

namespace terramod {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kPacketsPerMessage = 7;  // 1316 bytes, what SRT senders of TS send
const std::string kPassphrase = "correct horse battery";

// Packet `index` of the test stream: PID 0x100, the continuity counter
// counting, the index in the first four payload bytes, then bytes made from it.
std::vector<uint8_t> test_packets(uint32_t first, size_t count) {
    std::vector<uint8_t> bytes(count * 188);
    for (size_t n = 0; n < count; ++n) {
        const uint32_t index = first + static_cast<uint32_t>(n);
        uint8_t* packet = bytes.data() + n * 188;
        packet[0] = 0x47;
        packet[1] = 0x01;
        packet[2] = 0x00;
        packet[3] = static_cast<uint8_t>(0x10 | (index & 0x0F));
        for (int k = 0; k < 4; ++k) packet[4 + k] = static_cast<uint8_t>(index >> (24 - 8 * k));
        for (size_t k = 8; k < 188; ++k) packet[k] = static_cast<uint8_t>(index * 7 + k);
    }
    return bytes;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A UDP socket bound to a free loopback port (closed at the end).
struct BoundUdpSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    uint16_t port = 0;
    BoundUdpSocket() {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin_port);
    }
    ~BoundUdpSocket() { close(fd); }
};

uint16_t free_port() {
    return BoundUdpSocket().port;
}

InputUri srt_uri(uint16_t port, const std::map<std::string, std::string>& query) {
    InputUri uri;
    uri.scheme = "srt";
    uri.host = "127.0.0.1";
    uri.port = port;
    uri.query = query;
    uri.text = "srt://127.0.0.1:" + std::to_string(port);
    char separator = '?';
    for (const auto& [key, value] : query) {
        uri.text += separator + key + "=" + value;
        separator = '&';
    }
    return uri;
}

// A blocking SRT socket of the test's own.
class TestSocket {
  public:
    explicit TestSocket(const std::string& passphrase = "", const std::string& stream_id = "") {
        // The tests' own start of the library, stopped at exit as the
        // input's is (see start_srt_library).
        static const int started = [] {
            const int result = srt_startup();
            std::atexit([] { srt_cleanup(); });
            return result;
        }();
        EXPECT_GE(started, 0);
        if (!passphrase.empty()) {
            srt_setsockflag(id_, SRTO_PASSPHRASE, passphrase.data(), int(passphrase.size()));
        }
        if (!stream_id.empty()) {
            srt_setsockflag(id_, SRTO_STREAMID, stream_id.data(), int(stream_id.size()));
        }
        const int timeout_ms = 2000;
        srt_setsockflag(id_, SRTO_CONNTIMEO, &timeout_ms, sizeof timeout_ms);
    }
    explicit TestSocket(SRTSOCKET accepted) : id_(accepted) {}
    ~TestSocket() { srt_close(id_); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    // A caller: connects to the loopback port; false with reject_reason() set.
    bool connect(uint16_t port) {
        const sockaddr_in address = loopback(port);
        return srt_connect(id_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    int reject_reason() const { return srt_getrejectreason(id_); }
    SRTSOCKET id() const { return id_; }
    int option(SRT_SOCKOPT option) const {
        int value = -1;
        int length = sizeof value;
        srt_getsockflag(id_, option, &value, &length);
        return value;
    }

    // A listener on a free loopback port; accept() waits for a caller.
    uint16_t listen() {
        sockaddr_in address = loopback(0);
        int length = sizeof address;
        EXPECT_EQ(srt_bind(id_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(srt_getsockname(id_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        EXPECT_EQ(srt_listen(id_, 1), 0);
        return ntohs(address.sin_port);
    }
    std::unique_ptr<TestSocket> accept(Clock::duration timeout) {
        const bool blocking = false;
        srt_setsockflag(id_, SRTO_RCVSYN, &blocking, sizeof blocking);
        for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
            const SRTSOCKET accepted = srt_accept(id_, nullptr, nullptr);
            if (accepted != SRT_INVALID_SOCK) return std::make_unique<TestSocket>(accepted);
            std::this_thread::sleep_for(10ms);
        }
        return nullptr;
    }

    // Sends `bytes` in messages of at most `message_size` bytes.
    void send(const std::vector<uint8_t>& bytes, size_t message_size = kPacketsPerMessage * 188) {
        for (size_t at = 0; at < bytes.size(); at += message_size) {
            const int size = int(std::min(message_size, bytes.size() - at));
            ASSERT_EQ(
                srt_sendmsg(id_, reinterpret_cast<const char*>(bytes.data() + at), size, -1, 1),
                size);
        }
    }

  private:
    SRTSOCKET id_ = srt_create_socket();
};

// Pops packets until `count` have come or `timeout` has passed.
std::vector<QueuedPacket> receive(NetworkInput& input, size_t count, Clock::duration timeout) {
    std::vector<QueuedPacket> packets;
    const auto deadline = Clock::now() + timeout;
    std::array<QueuedPacket, 64> popped;
    while (packets.size() < count && input.queue().wait_until_nonempty(deadline)) {
        const size_t taken = input.queue().pop(popped);
        packets.insert(packets.end(), popped.begin(), popped.begin() + taken);
    }
    return packets;
}

std::vector<uint8_t> bytes_of(const std::vector<QueuedPacket>& packets) {
    std::vector<uint8_t> bytes;
    for (const QueuedPacket& packet : packets) {
        bytes.insert(bytes.end(), packet.bytes.begin(), packet.bytes.end());
    }
    return bytes;
}

class SrtInputTest : public testing::Test {
  protected:
    SrtInputTest() { log_.capture_to(&log_text_); }

    std::unique_ptr<NetworkInput> open(const InputUri& uri) {
        return open_srt_input(uri, NetworkInputOptions{}, log_);
    }
    // Gathers the input's messages into messages_ until one holds `text`.
    bool wait_for_message(NetworkInput& input, const std::string& text,
                          Clock::duration timeout = 2s) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            gather_messages(input);
            if (count_messages(text) > 0) return true;
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
    }
    void gather_messages(NetworkInput& input) {
        for (std::string& message : input.take_messages()) messages_.push_back(message);
    }
    int count_messages(const std::string& text) const {
        return static_cast<int>(std::count_if(messages_.begin(), messages_.end(), [&](auto& m) {
            return m.find(text) != std::string::npos;
        }));
    }
    // Opens a listener input on a free port and connects a test caller to it.
    std::unique_ptr<NetworkInput> open_listener(std::map<std::string, std::string> query = {}) {
        port_ = free_port();
        query["mode"] = "listener";
        auto input = open(srt_uri(port_, query));
        if (input) input->start();
        return input;
    }

    Log log_{0, nullptr};
    std::string log_text_;
    std::vector<std::string> messages_;
    uint16_t port_ = 0;
};

// Whole packets, in order, through each mode, with and without encryption.
struct DeliveryCase {
    const char* name;
    bool listener;
    std::map<std::string, std::string> query;
    int latency_ms;  // what the sender sees as its receiver's latency
};

class SrtInputDelivery : public SrtInputTest, public testing::WithParamInterface<DeliveryCase> {};

TEST_P(SrtInputDelivery, PacketsArriveWholeAndInOrder) {
    const DeliveryCase& test = GetParam();
    const std::string passphrase =
        test.query.count("passphrase") ? test.query.at("passphrase") : "";
    std::unique_ptr<NetworkInput> input;
    std::unique_ptr<TestSocket> sender;
    TestSocket test_listener(passphrase);
    if (test.listener) {
        input = open_listener(test.query);
        ASSERT_TRUE(input) << log_text_;
        sender = std::make_unique<TestSocket>(passphrase);
        ASSERT_TRUE(sender->connect(port_));
    } else {
        input = open(srt_uri(test_listener.listen(), test.query));
        ASSERT_TRUE(input) << log_text_;
        sender = test_listener.accept(2s);
        ASSERT_TRUE(sender);
        input->start();
    }
    EXPECT_EQ(sender->option(SRTO_PEERLATENCY), test.latency_ms);
    if (test.query.count("streamid") != 0) {
        char stream_id[512] = {};
        int length = sizeof stream_id;
        srt_getsockflag(sender->id(), SRTO_STREAMID, stream_id, &length);
        EXPECT_EQ(std::string(stream_id, length), test.query.at("streamid"));
    }
    const auto sent = Clock::now();
    sender->send(test_packets(0, 70));
    const std::vector<QueuedPacket> packets = receive(*input, 70, 3s);
    const auto received = Clock::now();
    EXPECT_EQ(bytes_of(packets), test_packets(0, 70));
    for (size_t n = 0; n < packets.size(); ++n) {
        EXPECT_GE(packets[n].arrival, n == 0 ? sent : packets[n - 1].arrival) << "packet " << n;
        EXPECT_LE(packets[n].arrival, received) << "packet " << n;
    }
    EXPECT_EQ(input->counters().datagrams, 10u);
    EXPECT_EQ(input->counters().bytes, 70u * 188);
    EXPECT_EQ(input->counters().bad_datagrams, 0u);
    EXPECT_EQ(input->counters().connections, 1u);
    EXPECT_EQ(input->queue().counters().packets_pushed, 70u);
}

INSTANTIATE_TEST_SUITE_P(
    , SrtInputDelivery,
    testing::Values(
        DeliveryCase{"Listener", true, {}, 120},
        DeliveryCase{
            "EncryptedListener", true, {{"passphrase", kPassphrase}, {"latency", "400"}}, 400},
        DeliveryCase{"Caller", false, {{"streamid", "studio-a"}}, 120},
        DeliveryCase{
            "EncryptedCaller", false, {{"passphrase", kPassphrase}, {"latency", "250"}}, 250}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed open: the fatal text, nothing returned, within the time allowed,
// and nothing left open (a listener's port is free again).
enum class Occupant { kNobody, kSrtListener, kUdpSocket, kSrtInput };

struct OpenFailureCase {
    const char* name;
    Occupant occupant;  // on the port, before the input opens
    std::map<std::string, std::string> query;
    const char* reason;  // after "FATAL ERROR: <input>: "
    Clock::duration within;
};

class SrtInputOpenFailure : public SrtInputTest,
                            public testing::WithParamInterface<OpenFailureCase> {};

TEST_P(SrtInputOpenFailure, IsFatalWithTheReason) {
    const OpenFailureCase& test = GetParam();
    std::shared_ptr<void> occupant;
    uint16_t port = 0;
    if (test.occupant == Occupant::kSrtListener) {
        auto listener = std::make_shared<TestSocket>(kPassphrase);
        port = listener->listen();
        occupant = listener;
    } else if (test.occupant == Occupant::kUdpSocket) {
        auto udp = std::make_shared<BoundUdpSocket>();
        port = udp->port;
        occupant = udp;
    } else {
        port = free_port();
    }
    const InputUri uri = srt_uri(port, test.query);
    if (test.occupant == Occupant::kSrtInput) {
        Log quiet(0, nullptr);
        occupant = open_srt_input(uri, NetworkInputOptions{}, quiet);
        ASSERT_TRUE(occupant);
    }
    const auto start = Clock::now();
    EXPECT_FALSE(open(uri));
    EXPECT_LT(Clock::now() - start, test.within);
    EXPECT_EQ(log_text_,
              "FATAL ERROR: srt://127.0.0.1:" + std::to_string(port) + ": " + test.reason + "\n");
    if (test.query.count("mode") != 0) {
        occupant.reset();
        EXPECT_TRUE(open(uri)) << "the port stays taken: " << log_text_;
    }
}

const std::map<std::string, std::string> kListener = {{"mode", "listener"}};

INSTANTIATE_TEST_SUITE_P(
    , SrtInputOpenFailure,
    testing::Values(
        OpenFailureCase{"WrongPassphrase",
                        Occupant::kSrtListener,
                        {{"passphrase", "not the right one"}},
                        "cannot connect (connection rejected: wrong passphrase)",
                        1s},
        OpenFailureCase{"NoPassphrase",
                        Occupant::kSrtListener,
                        {},
                        "cannot connect (connection rejected: the sender wants a passphrase)",
                        1s},
        OpenFailureCase{"NobodyListening",
                        Occupant::kNobody,
                        {{"timeout", "500"}},
                        "cannot connect (no answer within 500 ms: is the sender listening?)",
                        1200ms},
        OpenFailureCase{"PortTakenByAnotherProgram", Occupant::kUdpSocket, kListener,
                        "cannot listen (port in use: Address already in use)", 1s},
        OpenFailureCase{"PortTakenByAnotherSrtInput", Occupant::kSrtInput, kListener,
                        "cannot listen (port in use: another SRT listener of this program has it)",
                        1s},
        OpenFailureCase{"ShortPassphrase",
                        Occupant::kNobody,
                        {{"passphrase", "123456789"}},
                        "the passphrase must have 10 to 79 characters",
                        1s}),
    [](const auto& info) { return std::string(info.param.name); });

// Senders the listener refuses: the sender is told why (SRT's reject reason),
// the input raises one warning for a burst of attempts.
struct RefusalCase {
    const char* name;
    std::map<std::string, std::string> query;  // the listener input's
    std::string passphrase;                    // the refused sender's
    std::string stream_id;                     // the refused sender's
    bool while_another_sends;
    int reject_reason;
    const char* warning;  // after "sender 127.0.0.1:<port> refused "
};

class SrtInputRefusal : public SrtInputTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(SrtInputRefusal, SenderIsToldAndOneWarningIsRaised) {
    const RefusalCase& test = GetParam();
    auto input = open_listener(test.query);
    ASSERT_TRUE(input) << log_text_;
    TestSocket first_sender(kPassphrase);
    if (test.while_another_sends) {
        ASSERT_TRUE(first_sender.connect(port_));
        ASSERT_TRUE(wait_for_message(*input, "connected"));
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        TestSocket sender(test.passphrase, test.stream_id);
        EXPECT_FALSE(sender.connect(port_));
        EXPECT_EQ(sender.reject_reason(), test.reject_reason);
    }
    ASSERT_TRUE(wait_for_message(*input, " refused ")) << testing::PrintToString(messages_);
    input->stop();
    gather_messages(*input);
    const std::string prefix =
        "WARNING: srt://127.0.0.1:" + std::to_string(port_) + ": sender 127.0.0.1:";
    int refusals = 0;
    for (const std::string& message : messages_) {
        if (message.find(" refused ") == std::string::npos) continue;
        ++refusals;
        EXPECT_EQ(message.substr(0, prefix.size()), prefix);
        EXPECT_EQ(message.substr(message.find(" refused ") + 9), test.warning);
    }
    EXPECT_EQ(refusals, 1) << testing::PrintToString(messages_);
}

INSTANTIATE_TEST_SUITE_P(, SrtInputRefusal,
                         testing::Values(RefusalCase{"WrongPassphrase",
                                                     {{"passphrase", kPassphrase}},
                                                     "not the right one",
                                                     "",
                                                     false,
                                                     SRT_REJ_BADSECRET,
                                                     "(wrong or missing passphrase?)"},
                                         RefusalCase{"UnexpectedPassphrase",
                                                     {},
                                                     kPassphrase,
                                                     "",
                                                     false,
                                                     SRT_REJ_UNSECURE,
                                                     "(does it use a passphrase?)"},
                                         RefusalCase{"WrongStreamId",
                                                     {{"streamid", "studio-a"}},
                                                     "",
                                                     "studio-b",
                                                     false,
                                                     SRT_REJX_NOTFOUND,
                                                     "(stream id 'studio-b', not 'studio-a')"},
                                         RefusalCase{
                                             "SecondSender",
                                             {{"passphrase", kPassphrase}},
                                             kPassphrase,
                                             "",
                                             true,
                                             SRT_REJX_CONFLICT,
                                             "(another sender is connected: one at a time)"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The sender leaves and a new one comes: a listener accepts the new sender, a
// caller connects again; the data of both arrive.
class SrtInputReconnection : public SrtInputTest, public testing::WithParamInterface<bool> {};

TEST_P(SrtInputReconnection, DataOfBothConnectionsArrives) {
    const bool listener = GetParam();
    std::unique_ptr<NetworkInput> input;
    TestSocket test_listener;
    std::unique_ptr<TestSocket> sender;
    const auto connect_sender = [&] {
        if (listener) {
            sender = std::make_unique<TestSocket>();
            return sender->connect(port_);
        }
        sender = test_listener.accept(3s);
        return sender != nullptr;
    };
    if (listener) {
        input = open_listener();
    } else {
        port_ = test_listener.listen();
        input = open(srt_uri(port_, {}));
        if (input) input->start();
    }
    ASSERT_TRUE(input) << log_text_;
    ASSERT_TRUE(connect_sender());
    sender->send(test_packets(0, 14));
    EXPECT_EQ(bytes_of(receive(*input, 14, 2s)), test_packets(0, 14));

    sender.reset();
    const std::string name = "srt://127.0.0.1:" + std::to_string(port_);
    const std::string lost = listener ? "sender gone (closed by the sender): waiting for a new one"
                                      : "connection lost (closed by the sender): reconnecting";
    ASSERT_TRUE(wait_for_message(*input, "WARNING: " + name + ": " + lost))
        << testing::PrintToString(messages_);
    ASSERT_TRUE(connect_sender());
    sender->send(test_packets(14, 14));
    EXPECT_EQ(bytes_of(receive(*input, 14, 2s)), test_packets(14, 14));
    EXPECT_EQ(input->counters().connections, 2u);
    input->stop();
    gather_messages(*input);
    if (listener) {
        EXPECT_EQ(count_messages(name + ": sender 127.0.0.1:"), 2)
            << testing::PrintToString(messages_);
    } else {
        EXPECT_EQ(count_messages(name + ": connected again"), 1)
            << testing::PrintToString(messages_);
    }
}

INSTANTIATE_TEST_SUITE_P(, SrtInputReconnection, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Listener" : "Caller"; });

// Messages that are not whole packets: counted, their whole packets kept
// when they start with one, the first raised at once and the rest at stop().
TEST_F(SrtInputTest, MessagesThatAreNotWholePackets) {
    auto input = open_listener();
    ASSERT_TRUE(input) << log_text_;
    TestSocket sender;
    ASSERT_TRUE(sender.connect(port_));
    std::vector<uint8_t> packet_and_a_bit(200, 0xFF);
    const std::vector<uint8_t> packet = test_packets(7, 1);
    std::copy(packet.begin(), packet.end(), packet_and_a_bit.begin());
    sender.send(test_packets(0, 7));
    sender.send(std::vector<uint8_t>(100, 0x47));
    sender.send(packet_and_a_bit);
    sender.send(std::vector<uint8_t>(190, 0x00));  // not aligned: dropped
    sender.send(test_packets(8, 7));
    EXPECT_EQ(bytes_of(receive(*input, 15, 2s)), test_packets(0, 15));
    EXPECT_EQ(input->counters().datagrams, 5u);
    EXPECT_EQ(input->counters().bad_datagrams, 3u);
    const std::string name = "WARNING: srt://127.0.0.1:" + std::to_string(port_);
    const std::vector<std::string> before_stop = input->take_messages();
    ASSERT_FALSE(before_stop.empty());
    EXPECT_EQ(before_stop.back(), name + ": a message of 100 bytes: not whole packets");
    input->stop();
    EXPECT_EQ(input->take_messages(),
              std::vector<std::string>{name + ": 2 messages (the last of 190 bytes): not whole "
                                              "packets"});
}

// stop() returns promptly whatever the receive thread is waiting for.
TEST_F(SrtInputTest, StopIsPrompt) {
    auto waiting_listener = open_listener();
    ASSERT_TRUE(waiting_listener) << log_text_;

    TestSocket test_listener;
    const uint16_t port = test_listener.listen();
    auto idle_caller = open(srt_uri(port, {}));
    ASSERT_TRUE(idle_caller) << log_text_;
    auto accepted = test_listener.accept(2s);
    ASSERT_TRUE(accepted);
    idle_caller->start();

    // A caller connecting again, with a long timeout, to a sender that is
    // gone (its listener closed first, then its connection).
    auto gone_listener = std::make_unique<TestSocket>();
    const uint16_t gone_port = gone_listener->listen();
    auto reconnecting_caller = open(srt_uri(gone_port, {{"timeout", "4000"}}));
    ASSERT_TRUE(reconnecting_caller) << log_text_;
    reconnecting_caller->start();
    auto gone_sender = gone_listener->accept(2s);
    ASSERT_TRUE(gone_sender);
    gone_listener.reset();
    gone_sender.reset();
    ASSERT_TRUE(wait_for_message(*reconnecting_caller, "reconnecting"))
        << testing::PrintToString(messages_);

    for (NetworkInput* input :
         {waiting_listener.get(), idle_caller.get(), reconnecting_caller.get()}) {
        const auto start = Clock::now();
        input->stop();
        EXPECT_LT(Clock::now() - start, 300ms) << input->name();
    }
}

}  // namespace
}  // namespace terramod

#endif  // TERRAMOD_HAVE_SRT
