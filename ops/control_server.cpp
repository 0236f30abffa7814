#include "ops/control_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/descriptor.h"
#include "common/stop_signals.h"
#include "ops/listen_address.h"

namespace terramod {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kCommands[] = "(list, get NAME, set NAME VALUE)";
constexpr char kBusy[] = "error another client is connected\n";
constexpr char kTooLong[] = "error line too long\n";
constexpr size_t kMaxPendingReplies = 64 * 1024;  // beyond it, the client does not read
constexpr auto kMaxStall = 10s;                   // replies waiting without any taken
constexpr size_t kReadChunk = 4096;
constexpr int kReadsPerWake = 16;     // then the other descriptors get their turn
constexpr int kAcceptsPerWake = 16;   // the same for the listening socket
constexpr auto kAcceptPause = 100ms;  // after accept() failed for want of resources
constexpr int kBacklog = 4;

std::string reason(int error) {
    return std::strerror(error);
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t start = 0;
    while (start < line.size()) {
        const size_t begin = line.find_first_not_of(" \t", start);
        if (begin == std::string_view::npos) break;
        size_t end = line.find_first_of(" \t", begin);
        if (end == std::string_view::npos) end = line.size();
        words.push_back(line.substr(begin, end - begin));
        start = end;
    }
    return words;
}

// The reply as one line of printable text: control characters (a client's
// binary, a stray carriage return) show as '?'.
std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

bool fail_with(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

}  // namespace

std::optional<ControlEndpoint> parse_control_endpoint(const std::string& text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<ControlEndpoint> {
        if (error != nullptr) *error = "'" + text + "': " + why;
        return std::nullopt;
    };
    ControlEndpoint endpoint;
    if (text.rfind("unix:", 0) == 0) {
        endpoint.kind = ControlEndpoint::Kind::kUnix;
        endpoint.path = text.substr(5);
        if (endpoint.path.empty()) return fail("the socket's path is missing (unix:PATH)");
        if (endpoint.path.size() >= sizeof(sockaddr_un::sun_path))
            return fail("a unix socket's path is at most " +
                        std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes");
        if (endpoint.path.find('\0') != std::string::npos)
            return fail("the socket's path holds a NUL byte");
        return endpoint;
    }
    if (text.rfind("tcp:", 0) == 0) {
        std::string why;
        const std::optional<ListenAddress> address = parse_listen_address(text.substr(4), &why);
        if (!address) return fail(why);
        endpoint.kind = ControlEndpoint::Kind::kTcp;
        endpoint.address = address->address;
        endpoint.port = address->port;
        return endpoint;
    }
    return fail("a control endpoint is unix:PATH, tcp:PORT, tcp:ADDRESS:PORT or tcp:[IPv6]:PORT");
}

std::string answer_control_command(std::string_view line, ControlSettings& settings,
                                   const RunMetrics& metrics) {
    const std::vector<std::string_view> words = split_words(line);
    std::string reply;
    if (words.empty()) {
        reply = std::string("error no command ") + kCommands;
    } else if (words[0] == "list") {
        if (words.size() != 1) return "error usage: list";
        reply = "ok";
        for (const auto& [name, value] : settings.values())
            reply += " " + name + "=" + format_metric_value(value);
        for (const MetricEntry& entry : metric_entries(metrics.snapshot()))
            reply += std::string(" ") + entry.name + "=" + format_metric_value(entry.value);
    } else if (words[0] == "get") {
        if (words.size() != 2) return "error usage: get NAME";
        const std::string name(words[1]);
        std::optional<double> value = settings.get(name);
        if (!value) {
            for (const MetricEntry& entry : metric_entries(metrics.snapshot()))
                if (name == entry.name) value = entry.value;
        }
        reply = value ? "ok " + format_metric_value(*value) : "error unknown name " + name;
    } else if (words[0] == "set") {
        if (words.size() != 3) return "error usage: set NAME VALUE";
        const ControlSettings::Result result =
            settings.set(std::string(words[1]), std::string(words[2]));
        reply = (result.ok ? "ok " : "error ") + result.text;
    } else {
        reply = "error unknown command " + std::string(words[0]) + " " + kCommands;
    }
    return printable(std::move(reply));
}

struct ControlServer::State {
    State(ControlSettings& settings, const RunMetrics& metrics)
        : settings(settings), metrics(metrics) {}
    ~State();

    bool open_wake(std::string* error);
    bool listen_unix(const std::string& path, std::string* error);
    bool listen_tcp(const ControlEndpoint& endpoint, std::string* error);

    void serve();
    void serve_client(short revents);
    void read_client();
    void take_lines();
    void flush_client();
    void drop_client();
    void accept_clients();

    ControlSettings& settings;
    const RunMetrics& metrics;
    Descriptor listener;
    Descriptor wake_read, wake_write;
    std::thread thread;
    std::string description;
    uint16_t bound_port = 0;
    // The unix socket file made, removed at the end if it is still that one.
    std::string socket_path;
    bool owns_socket_file = false;
    dev_t socket_device = 0;
    ino_t socket_inode = 0;

    // The client served.
    Descriptor client;
    std::string input;     // an unfinished line
    std::string output;    // replies not yet taken
    bool closing = false;  // no more commands: close once the replies are out
    std::optional<Clock::time_point> stalled_since;  // replies waiting, none taken
    Clock::time_point accept_paused_until{};
};

ControlServer::State::~State() {
    if (thread.joinable()) {
        const char byte = 1;
        // A full pipe is a wake-up already written.
        while (::write(wake_write.get(), &byte, 1) < 0 && errno == EINTR) {
        }
        thread.join();
    }
    client.reset();
    listener.reset();
    struct stat status {};
    if (owns_socket_file && ::lstat(socket_path.c_str(), &status) == 0 &&
        status.st_dev == socket_device && status.st_ino == socket_inode)
        ::unlink(socket_path.c_str());
}

bool ControlServer::State::open_wake(std::string* error) {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail_with(error, description + ": cannot make a pipe (" + reason(errno) + ")");
    wake_read = Descriptor(ends[0]);
    wake_write = Descriptor(ends[1]);
    return true;
}

bool ControlServer::State::listen_unix(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) { return fail_with(error, description + ": " + why); };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return fail("a unix socket's path is 1 to " + std::to_string(sizeof address.sun_path - 1) +
                    " bytes");
    std::memcpy(address.sun_path, path.data(), path.size());
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);

    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) return fail("exists and is not a socket (left as it is)");
        // A socket file: in use if something accepts there, else left by a
        // run that ended.
        Descriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!probe.valid()) return fail("cannot make a socket (" + reason(errno) + ")");
        if (::connect(probe.get(), generic, sizeof address) == 0 || errno == EAGAIN ||
            errno == EINPROGRESS)
            return fail("in use by another run");
        if (errno != ECONNREFUSED)
            return fail("cannot tell whether another run uses it (" + reason(errno) + ")");
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return fail("cannot remove the socket left by an earlier run (" + reason(errno) + ")");
    } else if (errno != ENOENT) {
        return fail(reason(errno));
    }

    listener = Descriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.valid()) return fail("cannot make a socket (" + reason(errno) + ")");
    if (::bind(listener.get(), generic, sizeof address) != 0) {
        if (errno == EADDRINUSE) return fail("in use by another run");
        return fail("cannot make the socket (" + reason(errno) + ")");
    }
    if (::lstat(path.c_str(), &status) != 0) {
        const int bind_error = errno;
        ::unlink(path.c_str());
        return fail("cannot look at the socket made (" + reason(bind_error) + ")");
    }
    socket_path = path;
    owns_socket_file = true;
    socket_device = status.st_dev;
    socket_inode = status.st_ino;
    // Owner and group only, before anyone can connect.
    if (::chmod(path.c_str(), 0660) != 0)
        return fail("cannot set the socket's mode to 0660 (" + reason(errno) + ")");
    if (::listen(listener.get(), kBacklog) != 0)
        return fail("cannot listen (" + reason(errno) + ")");
    return true;
}

bool ControlServer::State::listen_tcp(const ControlEndpoint& endpoint, std::string* error) {
    auto fail = [&](const std::string& why) { return fail_with(error, description + ": " + why); };
    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool ipv6 = endpoint.address.find(':') != std::string::npos;
    if (ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(endpoint.port);
        if (::inet_pton(AF_INET6, endpoint.address.c_str(), &address->sin6_addr) != 1)
            return fail("'" + endpoint.address + "' is not a numeric IPv6 address");
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(endpoint.port);
        if (::inet_pton(AF_INET, endpoint.address.c_str(), &address->sin_addr) != 1)
            return fail("'" + endpoint.address + "' is not a numeric IPv4 address");
        length = sizeof *address;
    }
    listener =
        Descriptor(::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.valid()) return fail("cannot make a socket (" + reason(errno) + ")");
    const int one = 1;
    if (::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail("cannot set SO_REUSEADDR (" + reason(errno) + ")");
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        switch (errno) {
            case EADDRINUSE:
                return fail("address in use");
            case EADDRNOTAVAIL:
                return fail("no such address on this machine");
            case EACCES:
                return fail("permission denied (ports below 1024 need privileges)");
            default:
                return fail("cannot bind (" + reason(errno) + ")");
        }
    }
    if (::listen(listener.get(), kBacklog) != 0)
        return fail("cannot listen (" + reason(errno) + ")");
    sockaddr_storage bound{};
    socklen_t bound_length = sizeof bound;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0)
        return fail("cannot read the bound port (" + reason(errno) + ")");
    bound_port = ntohs(ipv6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                            : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    description = "tcp:" + ListenAddress{endpoint.address, bound_port, ipv6}.text();
    return true;
}

void ControlServer::State::serve() {
    const StopSignalsBlocked blocked;
    while (true) {
        const Clock::time_point now = Clock::now();
        pollfd descriptors[3] = {{wake_read.get(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        int timeout_ms = -1;
        if (now >= accept_paused_until) {
            descriptors[1] = {listener.get(), POLLIN, 0};
        } else {
            timeout_ms = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(accept_paused_until - now).count());
        }
        if (client.valid()) {
            short events = closing ? 0 : POLLIN;
            if (!output.empty()) {
                events |= POLLOUT;
                timeout_ms = timeout_ms < 0 ? 1000 : std::min(timeout_ms, 1000);
            }
            descriptors[2] = {client.get(), events, 0};
        }
        if (::poll(descriptors, 3, timeout_ms) < 0) {
            if (errno == EINTR) continue;
            // Out of resources for a moment: wait for the stop only, a little.
            pollfd wake = {wake_read.get(), POLLIN, 0};
            if (::poll(&wake, 1, 100) > 0) return;
            continue;
        }
        if (descriptors[0].revents != 0) return;
        try {
            if (client.valid()) serve_client(descriptors[2].revents);
            if (client.valid() && stalled_since && Clock::now() - *stalled_since > kMaxStall)
                drop_client();
            if (descriptors[1].revents != 0) accept_clients();
        } catch (...) {
            // Out of memory for a reply: the client goes, the run does not.
            drop_client();
        }
    }
}

void ControlServer::State::serve_client(short revents) {
    if ((revents & POLLNVAL) != 0) return drop_client();
    if (!closing && (revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_client();
    if (client.valid()) flush_client();
}

void ControlServer::State::read_client() {
    char buffer[kReadChunk];
    for (int reads = 0; reads < kReadsPerWake && client.valid(); ++reads) {
        const ssize_t count = ::recv(client.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (count > 0) {
            // After a too long line, what follows it is read and dropped.
            if (closing) continue;
            input.append(buffer, static_cast<size_t>(count));
            take_lines();
            if (client.valid()) flush_client();
            continue;
        }
        if (count == 0) {
            // The client has sent all: an unfinished line is dropped, the
            // replies still go out.
            input.clear();
            closing = true;
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) drop_client();
        return;
    }
}

void ControlServer::State::take_lines() {
    size_t start = 0;
    while (true) {
        const size_t end = input.find('\n', start);
        if (end == std::string::npos) break;
        std::string_view line(input.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        if (line.size() > kMaxControlLine) {
            start = input.size();
            output += kTooLong;
            closing = true;
            break;
        }
        output += answer_control_command(line, settings, metrics);
        output += '\n';
        if (output.size() > kMaxPendingReplies) return drop_client();  // does not read
    }
    input.erase(0, start);
    // An unfinished line already too long (one byte more for a '\r').
    if (!closing && input.size() > kMaxControlLine + 1) {
        input.clear();
        output += kTooLong;
        closing = true;
    }
}

void ControlServer::State::flush_client() {
    while (!output.empty()) {
        const ssize_t sent =
            ::send(client.get(), output.data(), output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            output.erase(0, static_cast<size_t>(sent));
            stalled_since.reset();
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return drop_client();  // gone
    }
    if (output.size() > kMaxPendingReplies) return drop_client();  // does not read
    if (!output.empty()) {
        if (!stalled_since) stalled_since = Clock::now();
        return;
    }
    if (closing) {
        ::shutdown(client.get(), SHUT_WR);
        drop_client();
    }
}

void ControlServer::State::drop_client() {
    client.reset();
    input.clear();
    output.clear();
    closing = false;
    stalled_since.reset();
}

void ControlServer::State::accept_clients() {
    for (int accepts = 0; accepts < kAcceptsPerWake; ++accepts) {
        Descriptor accepted(
            ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_paused_until = Clock::now() + kAcceptPause;
            return;
        }
        if (!client.valid()) {
            drop_client();
            client = std::move(accepted);
            continue;
        }
        // Served already: this one is told so and closed. What it sent is read
        // first, so that closing does not reset the connection before it
        // reads the line.
        char scratch[kReadChunk];
        while (::recv(accepted.get(), scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
        if (::send(accepted.get(), kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL) > 0)
            ::shutdown(accepted.get(), SHUT_WR);
    }
}

ControlServer::ControlServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

ControlServer::~ControlServer() = default;

std::unique_ptr<ControlServer> ControlServer::start(const ControlEndpoint& endpoint,
                                                    ControlSettings& settings,
                                                    const RunMetrics& metrics, std::string* error) {
    auto state = std::make_unique<State>(settings, metrics);
    bool listening = false;
    if (endpoint.kind == ControlEndpoint::Kind::kUnix) {
        state->description = "unix:" + endpoint.path;
        listening = state->listen_unix(endpoint.path, error);
    } else {
        ControlEndpoint tcp = endpoint;
        if (tcp.address.empty()) tcp.address = "127.0.0.1";
        const bool ipv6 = tcp.address.find(':') != std::string::npos;
        state->description = "tcp:" + ListenAddress{tcp.address, tcp.port, ipv6}.text();
        listening = state->listen_tcp(tcp, error);
    }
    if (!listening || !state->open_wake(error)) return nullptr;
    try {
        state->thread = std::thread(&State::serve, state.get());
    } catch (const std::system_error& failure) {
        fail_with(error, state->description + ": cannot start its thread (" + failure.what() + ")");
        return nullptr;
    }
    return std::unique_ptr<ControlServer>(new ControlServer(std::move(state)));
}

std::string ControlServer::describe() const {
    return state_->description;
}

uint16_t ControlServer::port() const {
    return state_->bound_port;
}

}  // namespace terramod
