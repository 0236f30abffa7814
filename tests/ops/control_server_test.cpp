#include "ops/control_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ops/test_sockets.h"

namespace terramod {
namespace {

using test::TempFolder;
using test::TestSocket;

const char kBusy[] = "error another client is connected";
const char kTooLong[] = "error line too long";

bool have_ipv6_loopback() {
    TestSocket probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    return probe.valid() &&
           ::bind(probe.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

class ControlServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        settings.declare("gain", 10, [](double value) -> std::optional<std::string> {
            if (value < 0 || value > 47) return "gain must be 0 to 47 dB";
            return std::nullopt;
        });
        metrics.update([](MetricValues& values) { values.underflows = 5; });
    }

    ControlEndpoint unix_endpoint(const std::string& name = "ctl.sock") const {
        ControlEndpoint endpoint;
        endpoint.kind = ControlEndpoint::Kind::kUnix;
        endpoint.path = folder.file(name);
        return endpoint;
    }
    static ControlEndpoint tcp_endpoint(const std::string& address = "127.0.0.1",
                                        uint16_t port = 0) {
        ControlEndpoint endpoint;
        endpoint.kind = ControlEndpoint::Kind::kTcp;
        endpoint.address = address;
        endpoint.port = port;
        return endpoint;
    }

    std::unique_ptr<ControlServer> start(const ControlEndpoint& endpoint) {
        std::string error;
        std::unique_ptr<ControlServer> server =
            ControlServer::start(endpoint, settings, metrics, &error);
        EXPECT_NE(server, nullptr) << error;
        return server;
    }
    std::string start_error(const ControlEndpoint& endpoint) {
        std::string error;
        EXPECT_EQ(ControlServer::start(endpoint, settings, metrics, &error), nullptr);
        return error;
    }

    static TestSocket connect(const ControlServer& server, const ControlEndpoint& endpoint) {
        if (endpoint.kind == ControlEndpoint::Kind::kUnix)
            return TestSocket::connect_unix(endpoint.path);
        return TestSocket::connect_tcp(endpoint.address, server.port());
    }
    // A client the server serves: once the one before has been let go, which
    // the server sees in its own time.
    static TestSocket served_client(const ControlServer& server, const ControlEndpoint& endpoint) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < deadline) {
            TestSocket client = connect(server, endpoint);
            if (client.valid() && client.send_all("get gain\n")) {
                const std::optional<std::string> reply = client.read_line();
                if (reply && reply->rfind("ok ", 0) == 0) return client;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return TestSocket();
    }

    TempFolder folder;
    ControlSettings settings;
    RunMetrics metrics;
};

TEST_F(ControlServerTest, AnswersCommandsOverEachKindOfEndpoint) {
    std::vector<ControlEndpoint> endpoints = {unix_endpoint(), tcp_endpoint()};
    if (have_ipv6_loopback()) endpoints.push_back(tcp_endpoint("::1"));
    for (const ControlEndpoint& endpoint : endpoints) {
        std::unique_ptr<ControlServer> server = start(endpoint);
        ASSERT_NE(server, nullptr);
        if (endpoint.kind == ControlEndpoint::Kind::kUnix) {
            EXPECT_EQ(server->describe(), "unix:" + endpoint.path);
            EXPECT_EQ(server->port(), 0);
        } else {
            EXPECT_NE(server->port(), 0);
            const std::string host = endpoint.address == "::1" ? "[::1]" : endpoint.address;
            EXPECT_EQ(server->describe(), "tcp:" + host + ":" + std::to_string(server->port()));
        }
        TestSocket client = connect(*server, endpoint);
        ASSERT_TRUE(client.valid()) << server->describe();
        struct Exchange {
            std::string sent;
            std::vector<std::string> replies;
        };
        const Exchange exchanges[] = {
            {"set gain 12\n", {"ok 12"}},
            {"get gain\r\n", {"ok 12"}},
            {"get underflows_total\nget gain\n", {"ok 5", "ok 12"}},
            {"set gain 99\n", {"error gain must be 0 to 47 dB"}},
            {"ge", {}},
            {"t gain\n", {"ok 12"}},
            {"\n", {"error no command (list, get NAME, set NAME VALUE)"}},
            // Bytes that are no text do not end or cut the line.
            {std::string("\x00\x01\xfe\x7f\n", 5),
             {"error unknown command ??\xfe? (list, get NAME, set NAME VALUE)"}},
            {"set gain 0\n", {"ok 0"}},
        };
        for (const Exchange& exchange : exchanges) {
            ASSERT_TRUE(client.send_all(exchange.sent)) << exchange.sent;
            for (const std::string& reply : exchange.replies)
                EXPECT_EQ(client.read_line(), reply) << server->describe() << ": " << exchange.sent;
        }
        const std::vector<ControlSettings::Change> changes = settings.take_changes();
        ASSERT_EQ(changes.size(), 2u);
        EXPECT_EQ(changes[0].value, 12);
        EXPECT_EQ(changes[1].value, 0);
        ASSERT_TRUE(client.send_all("list\n"));
        const std::optional<std::string> list = client.read_line();
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ(list->rfind("ok gain=0 cycles_total=0 ", 0), 0u) << *list;
    }
}

TEST_F(ControlServerTest, SecondClientIsRefusedWhileTheFirstGoesOn) {
    for (const ControlEndpoint& endpoint : {unix_endpoint(), tcp_endpoint()}) {
        std::unique_ptr<ControlServer> server = start(endpoint);
        ASSERT_NE(server, nullptr);
        TestSocket first = served_client(*server, endpoint);
        ASSERT_TRUE(first.valid());
        TestSocket second = connect(*server, endpoint);
        ASSERT_TRUE(second.valid());
        EXPECT_EQ(second.read_line(), kBusy);
        EXPECT_TRUE(second.ends());
        ASSERT_TRUE(first.send_all("set gain 30\n"));
        EXPECT_EQ(first.read_line(), "ok 30") << server->describe();
        // Once the first goes, the next one is served.
        first.close();
        EXPECT_TRUE(served_client(*server, endpoint).valid()) << server->describe();
    }
}

TEST_F(ControlServerTest, TooLongALineEndsTheClient) {
    struct Case {
        std::string sent;
        bool too_long;
    };
    const std::string word = std::string(1024 - 4, 'x');
    const Case cases[] = {
        {"get " + word + "\n", false},             // 1024 bytes: taken
        {"get " + word + "\r\n", false},           // and its '\r'
        {"get " + word + "y\n", true},             // 1025
        {std::string(5000, 'z'), true},            // never ends
        {"get gain\nget " + word + "yy\n", true},  // after a good one
    };
    const ControlEndpoint endpoint = unix_endpoint();
    std::unique_ptr<ControlServer> server = start(endpoint);
    ASSERT_NE(server, nullptr);
    for (const Case& c : cases) {
        TestSocket client = served_client(*server, endpoint);
        ASSERT_TRUE(client.valid());
        ASSERT_TRUE(client.send_all(c.sent));
        if (c.sent.rfind("get gain\n", 0) == 0) {
            EXPECT_EQ(client.read_line(), "ok 10");
        }
        if (c.too_long) {
            EXPECT_EQ(client.read_line(), kTooLong) << c.sent.size();
            EXPECT_TRUE(client.ends()) << c.sent.size();
        } else {
            EXPECT_EQ(client.read_line(), "error unknown name " + word) << c.sent.size();
            ASSERT_TRUE(client.send_all("get gain\n"));
            EXPECT_EQ(client.read_line(), "ok 10");
        }
    }
}

TEST_F(ControlServerTest, ClientLeavingMidLineOrWithoutReadingFreesTheServer) {
    const ControlEndpoint endpoint = tcp_endpoint();
    std::unique_ptr<ControlServer> server = start(endpoint);
    ASSERT_NE(server, nullptr);
    {
        TestSocket client = served_client(*server, endpoint);
        ASSERT_TRUE(client.send_all("set gain 4"));  // no newline: never done
    }
    {
        // Commands sent, the socket half closed: the replies still come.
        TestSocket client = served_client(*server, endpoint);
        ASSERT_TRUE(client.send_all("set gain 5\nget gain\nset gain 6"));
        ASSERT_EQ(::shutdown(client.fd(), SHUT_WR), 0);
        EXPECT_EQ(client.read_line(), "ok 5");
        EXPECT_EQ(client.read_line(), "ok 5");
        EXPECT_TRUE(client.ends());
    }
    {
        // Asks for far more replies than any socket buffer holds and reads
        // none: dropped, not waited for.
        TestSocket client = served_client(*server, endpoint);
        std::string many;
        for (int line = 0; line < 20000; ++line) many += "list\n";
        client.send_all(many);  // may end early once the server drops it
    }
    TestSocket next = served_client(*server, endpoint);
    ASSERT_TRUE(next.valid());
    ASSERT_TRUE(next.send_all("get gain\n"));
    EXPECT_EQ(next.read_line(), "ok 5");
    const std::vector<ControlSettings::Change> changes = settings.take_changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].value, 5);
}

TEST_F(ControlServerTest, UnixSocketFileIsPrivateAndGoesWithTheServer) {
    const ControlEndpoint endpoint = unix_endpoint();
    std::unique_ptr<ControlServer> server = start(endpoint);
    ASSERT_NE(server, nullptr);
    struct stat status {};
    ASSERT_EQ(::lstat(endpoint.path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0660u);
    // A client connected and one mid-line do not hold the server back.
    TestSocket client = served_client(*server, endpoint);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(client.send_all("get ga"));
    server.reset();
    EXPECT_NE(::lstat(endpoint.path.c_str(), &status), 0);
    EXPECT_TRUE(client.ends());
}

TEST_F(ControlServerTest, StaleSocketFileIsReplaced) {
    const ControlEndpoint endpoint = unix_endpoint();
    {
        // A socket bound there and closed, as a run that ended leaves it.
        TestSocket left(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, endpoint.path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(left.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
    }
    std::unique_ptr<ControlServer> server = start(endpoint);
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(served_client(*server, endpoint).valid());
}

// A socket of a running server, a file that is no socket, a missing folder
// and a TCP port taken: refused, saying why, and what was there kept.
TEST_F(ControlServerTest, EndpointsThatCannotBeTakenSayWhy) {
    const ControlEndpoint in_use = unix_endpoint();
    std::unique_ptr<ControlServer> first = start(in_use);
    ASSERT_NE(first, nullptr);
    const ControlEndpoint not_socket = unix_endpoint("notes.txt");
    std::ofstream(not_socket.path) << "keep me\n";
    const ControlEndpoint missing = unix_endpoint("missing/ctl.sock");
    uint16_t port = 0;
    TestSocket taken = TestSocket::bound_tcp(true, &port);
    ASSERT_TRUE(taken.valid());
    struct Case {
        ControlEndpoint endpoint;
        std::string error;  // the whole text, or its start when `then` is given
        std::string then;
    };
    const Case cases[] = {
        {in_use, "unix:" + in_use.path + ": in use by another run", ""},
        {not_socket, "unix:" + not_socket.path + ": exists and is not a socket (left as it is)",
         ""},
        {missing, "unix:" + missing.path + ": ", "No such file or directory"},
        {tcp_endpoint("127.0.0.1", port),
         "tcp:127.0.0.1:" + std::to_string(port) + ": address in use", ""},
    };
    for (const Case& c : cases) {
        const std::string error = start_error(c.endpoint);
        if (c.then.empty()) {
            EXPECT_EQ(error, c.error);
        } else {
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
            EXPECT_NE(error.find(c.then), std::string::npos) << error;
        }
    }
    EXPECT_TRUE(served_client(*first, in_use).valid());
    std::ifstream kept(not_socket.path);
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ(line, "keep me");
}

}  // namespace
}  // namespace terramod
