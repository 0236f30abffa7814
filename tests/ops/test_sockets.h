// Plain socket clients and listeners for the servers' tests: loopback and
// unix sockets only, every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace terramod::test {

inline constexpr int kWaitMs = 3000;  // the longest any one step may take

class TestSocket {
  public:
    TestSocket() = default;
    explicit TestSocket(int fd) : fd_(fd) {}
    TestSocket(TestSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TestSocket& operator=(TestSocket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~TestSocket() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    static TestSocket connect_unix(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        TestSocket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0)
            socket.close();
        return socket;
    }
    // `address` numeric, IPv4 or IPv6.
    static TestSocket connect_tcp(const std::string& address, uint16_t port) {
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (address.find(':') != std::string::npos) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            ::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr);
            length = sizeof *v6;
        } else {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            ::inet_pton(AF_INET, address.c_str(), &v4->sin_addr);
            length = sizeof *v4;
        }
        TestSocket socket(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&storage), length) != 0)
            socket.close();
        return socket;
    }
    // A TCP socket bound to a free loopback port, listening or not.
    static TestSocket bound_tcp(bool listening, uint16_t* port) {
        TestSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            (listening && ::listen(socket.fd(), 1) != 0) ||
            ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            socket.close();
        *port = ntohs(address.sin_port);
        return socket;
    }

    // Everything, or false (closed by the peer, or it does not read).
    bool send_all(std::string_view bytes) {
        while (!bytes.empty()) {
            pollfd descriptor{fd_, POLLOUT, 0};
            if (::poll(&descriptor, 1, kWaitMs) != 1) return false;
            const ssize_t sent =
                ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (sent <= 0) return false;
            bytes.remove_prefix(static_cast<size_t>(sent));
        }
        return true;
    }

    // The next line without its '\n', or nothing at the end of the stream
    // (or after kWaitMs without one).
    std::optional<std::string> read_line() {
        while (true) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            if (!receive()) return std::nullopt;
        }
    }
    // True when the peer closes (or resets) before kWaitMs, with no line
    // pending.
    bool ends() {
        while (receive()) {
        }
        return pending_.empty() && at_end_;
    }
    // All until the peer closes.
    std::string read_all() {
        while (receive()) {
        }
        return std::exchange(pending_, {});
    }

  private:
    bool receive() {
        pollfd descriptor{fd_, POLLIN, 0};
        if (::poll(&descriptor, 1, kWaitMs) != 1) return false;
        char buffer[4096];
        const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
        if (count <= 0) {
            at_end_ = count == 0 || errno == ECONNRESET;
            return false;
        }
        pending_.append(buffer, static_cast<size_t>(count));
        return true;
    }

    int fd_ = -1;
    std::string pending_;
    bool at_end_ = false;
};

// A folder of its own under /tmp (short: a unix socket's path is at most 107
// bytes), removed with what it holds.
class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/terramod-ops-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace terramod::test
