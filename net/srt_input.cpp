// SRT input in live mode through the SRT library's C API.
//
// srt://host:port is a caller, srt://:port a listener (mode=caller|listener
// overrides); latency=MS (the receiver's latency, default 120), timeout=MS
// (a caller's connection timeout, default 3000), passphrase=... (10 to 79
// characters), streamid=... (a caller sends it; a listener admits only
// senders that send it). Messages name the input without its query, which
// may hold the passphrase.
//
// A caller connects at open and, when the connection breaks, connects again
// once a second until stop(). A listener binds at open; its receive thread
// accepts one sender at a time and refuses others while one is connected.
// Every socket is non-blocking and waited on through an SRT epoll for at most
// kPollMs, so that stop() returns promptly whatever the thread is doing.
#include "net/srt_input.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace terramod {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDefaultLatencyMs = 120;
constexpr int kDefaultTimeoutMs = 3000;
// The longest wait of the receive thread between two looks at stop().
constexpr int kPollMs = 100;
// A caller's attempts to connect again start at least this far apart.
constexpr auto kReconnectInterval = std::chrono::seconds(1);
// Repeated warnings of one kind (messages that are not whole packets,
// refused senders) are raised at most this often.
constexpr auto kWarningInterval = std::chrono::seconds(10);
// How long a sender's socket may stay unknown to SRT after the listen
// callback has seen it (it is registered once the handshake is answered).
constexpr auto kRegistrationGrace = std::chrono::seconds(1);
// Larger than any live-mode message (SRT_LIVE_MAX_PLSIZE, 1456 bytes).
constexpr size_t kMessageBufferBytes = 1500;
// SRT's own limits on a passphrase and a stream id.
constexpr size_t kPassphraseMin = 10;
constexpr size_t kPassphraseMax = 79;
constexpr size_t kStreamIdMax = 512;

enum class SrtMode { kCaller, kListener };

struct SrtSettings {
    SrtMode mode = SrtMode::kCaller;
    int latency_ms = kDefaultLatencyMs;
    int timeout_ms = kDefaultTimeoutMs;
    std::string passphrase;  // "" for an unencrypted stream
    std::string stream_id;   // "" for none
};

// The input's name in messages: the name as given without its query, which
// may hold the passphrase.
std::string display_name(const InputUri& uri) {
    return uri.text.substr(0, uri.text.find('?'));
}

bool parse_int(const std::string& text, int low, int high, int& value) {
    int parsed = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || error != std::errc() || stop != end || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// One query key's value into `settings`; false with `error` set when the key
// is unknown or its value invalid.
bool read_setting(const std::string& key, const std::string& value, SrtSettings& settings,
                  std::string& error) {
    if (key == "mode") {
        if (value != "caller" && value != "listener") {
            error = "mode must be caller or listener, not '" + value + "'";
            return false;
        }
        settings.mode = value == "caller" ? SrtMode::kCaller : SrtMode::kListener;
    } else if (key == "latency") {
        if (!parse_int(value, 0, 60000, settings.latency_ms)) {
            error = "latency must be 0 to 60000 ms, not '" + value + "'";
            return false;
        }
    } else if (key == "timeout") {
        if (!parse_int(value, 1, 600000, settings.timeout_ms)) {
            error = "timeout must be 1 to 600000 ms, not '" + value + "'";
            return false;
        }
    } else if (key == "passphrase") {
        if (value.size() < kPassphraseMin || value.size() > kPassphraseMax) {
            error = "the passphrase must have 10 to 79 characters";
            return false;
        }
        settings.passphrase = value;
    } else if (key == "streamid") {
        if (value.size() > kStreamIdMax) {
            error = "the stream id must have at most 512 characters";
            return false;
        }
        settings.stream_id = value;
    } else {
        error = "unknown option '" + key +
                "' (srt:// takes mode, latency, passphrase, streamid and timeout)";
        return false;
    }
    return true;
}

std::optional<SrtSettings> read_settings(const InputUri& uri, std::string& error) {
    SrtSettings settings;
    settings.mode = uri.host.empty() ? SrtMode::kListener : SrtMode::kCaller;
    for (const auto& [key, value] : uri.query) {
        if (!read_setting(key, value, settings, error)) return std::nullopt;
    }
    if (uri.port == 0) {
        error = "no port";
        return std::nullopt;
    }
    if (settings.mode == SrtMode::kCaller && uri.host.empty()) {
        error = "a caller needs the sender's host (srt://host:port)";
        return std::nullopt;
    }
    return settings;
}

// srt_startup() once per process. A magic static is initialised once and
// thread-safely (what std::call_once does), and its value never changes.
bool start_srt_library(std::string& error) {
    static const int startup_result = [] {
        const int result = srt_startup();
        // The library writes its own log to standard error, past ours: keep
        // its critical messages only (what matters here is raised or logged
        // by the input itself).
        srt_setloglevel(LOG_CRIT);
        // Left to itself at exit, the library (1.5.1) frees its sockets in a
        // static destructor while its garbage collector thread still runs,
        // and may free one twice; srt_cleanup() first stops that thread.
        // Handlers registered with atexit run before the destructors of the
        // statics constructed earlier, as the library's are.
        if (result >= 0) std::atexit([] { srt_cleanup(); });
        return result;
    }();
    if (startup_result < 0) {
        error = std::string("cannot start the SRT library (") + srt_getlasterror_str() + ")";
        return false;
    }
    return true;
}

struct SocketAddress {
    sockaddr_storage storage{};
    int length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// `host` (a name or an address literal) and `port` as a socket address; an
// empty host is IPv4's any address (a listener on every interface).
bool resolve(const std::string& host, uint16_t port, SocketAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = host.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV | (host.empty() ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int result =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (result != 0 || found == nullptr) {
        error = "cannot resolve " + host + " (" + gai_strerror(result) + ")";
        return false;
    }
    std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.length = static_cast<int>(found->ai_addrlen);
    freeaddrinfo(found);
    return true;
}

// "192.0.2.1:5000" or "[2001:db8::1]:5000".
std::string address_text(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address == nullptr) return text;
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return text;
}

// Owns an SRT socket: closed when replaced or destroyed.
class SrtSocket {
  public:
    SrtSocket() = default;
    explicit SrtSocket(SRTSOCKET id) : id_(id) {}
    ~SrtSocket() { reset(); }
    SrtSocket(SrtSocket&& other) noexcept : id_(std::exchange(other.id_, SRT_INVALID_SOCK)) {}
    SrtSocket& operator=(SrtSocket&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, SRT_INVALID_SOCK);
        }
        return *this;
    }
    SRTSOCKET get() const { return id_; }
    explicit operator bool() const { return id_ != SRT_INVALID_SOCK; }
    void reset() {
        // A failed close leaves nothing to do: the socket is gone either way.
        if (id_ != SRT_INVALID_SOCK) (void)srt_close(id_);
        id_ = SRT_INVALID_SOCK;
    }

  private:
    SRTSOCKET id_ = SRT_INVALID_SOCK;
};

// An SRT epoll watching one socket at a time.
class SocketWaiter {
  public:
    SocketWaiter() = default;
    ~SocketWaiter() {
        if (id_ >= 0) (void)srt_epoll_release(id_);
    }
    SocketWaiter(const SocketWaiter&) = delete;
    SocketWaiter& operator=(const SocketWaiter&) = delete;

    bool open(std::string& error) {
        id_ = srt_epoll_create();
        if (id_ < 0)
            error = std::string("cannot create an SRT epoll (") + srt_getlasterror_str() + ")";
        return id_ >= 0;
    }
    // Watches `socket` for `events` (SRT_EPOLL_IN, ...) instead of what was
    // watched before.
    bool watch(SRTSOCKET socket, int events) {
        return srt_epoll_clear_usocks(id_) == 0 && srt_epoll_add_usock(id_, socket, &events) == 0;
    }
    // The events seen within `timeout_ms`; 0 on timeout, and after
    // `timeout_ms` when the epoll fails (SRT takes a closed or broken socket
    // out of it): the caller looks at its socket's state either way.
    int wait(int timeout_ms) {
        SRT_EPOLL_EVENT event{};
        const int ready = srt_epoll_uwait(id_, &event, 1, timeout_ms);
        if (ready < 0) std::this_thread::sleep_for(milliseconds(timeout_ms));
        return ready > 0 ? event.events : 0;
    }

  private:
    int id_ = -1;
};

template <typename Value>
bool set_option(SRTSOCKET socket, SRT_SOCKOPT option, const Value& value, const char* what,
                std::string& error) {
    if (srt_setsockflag(socket, option, &value, sizeof value) == 0) return true;
    error = std::string("cannot set ") + what + " (" + srt_getlasterror_str() + ")";
    return false;
}

bool set_text_option(SRTSOCKET socket, SRT_SOCKOPT option, const std::string& text,
                     const char* what, std::string& error) {
    if (srt_setsockflag(socket, option, text.data(), static_cast<int>(text.size())) == 0) {
        return true;
    }
    error = std::string("cannot set ") + what + " (" + srt_getlasterror_str() + ")";
    return false;
}

// A new socket with the input's options: live mode, non-blocking, the
// receiver's latency (SRTO_RCVLATENCY rather than SRTO_LATENCY, which also
// sets the latency of a sending direction this input does not have), the
// passphrase and, for a caller, the stream id and the connection timeout.
// SRTO_PBKEYLEN stays at its default: the key length the sender chose, or
// AES-128 when this side starts the key exchange.
SrtSocket create_socket(const SrtSettings& settings, std::string& error) {
    SrtSocket socket(srt_create_socket());
    if (!socket) {
        error = std::string("cannot create an SRT socket (") + srt_getlasterror_str() + ")";
        return {};
    }
    const SRTSOCKET id = socket.get();
    // SRTO_TRANSTYPE first: it resets the other options to its defaults.
    bool ok = set_option(id, SRTO_TRANSTYPE, SRTT_LIVE, "the live mode", error) &&
              set_option(id, SRTO_RCVSYN, false, "non-blocking receiving", error) &&
              set_option(id, SRTO_RCVLATENCY, settings.latency_ms, "the latency", error);
    if (ok && !settings.passphrase.empty()) {
        ok = set_text_option(id, SRTO_PASSPHRASE, settings.passphrase, "the passphrase", error);
    }
    if (ok && settings.mode == SrtMode::kCaller) {
        ok = set_option(id, SRTO_CONNTIMEO, settings.timeout_ms, "the timeout", error);
        if (ok && !settings.stream_id.empty()) {
            ok = set_text_option(id, SRTO_STREAMID, settings.stream_id, "the stream id", error);
        }
    }
    if (!ok) return {};
    return socket;
}

// What a listener's rejection code means to a caller: SRT's own reasons, or
// the HTTP-like codes of SRT's access control (1000 and above).
std::string rejection_text(int reason, const SrtSettings& settings) {
    switch (reason) {
        case SRT_REJ_TIMEOUT:
            return "no answer within " + std::to_string(settings.timeout_ms) +
                   " ms: is the sender listening?";
        case SRT_REJ_BADSECRET:
            return "connection rejected: wrong passphrase";
        case SRT_REJ_UNSECURE:
            return settings.passphrase.empty()
                       ? "connection rejected: the sender wants a passphrase"
                       : "connection rejected: the sender has no passphrase";
        case SRT_REJ_UNKNOWN:
            return "the connection broke during the handshake";
        case SRT_REJ_PEER:
            return "connection rejected by the sender";
        case SRT_REJX_CONFLICT:
            return "connection rejected by the sender: it serves another receiver";
        case SRT_REJX_NOTFOUND:
            return "connection rejected by the sender: stream id not found";
        case SRT_REJX_FORBIDDEN:
        case SRT_REJX_UNAUTHORIZED:
            return "connection rejected by the sender: access denied (code " +
                   std::to_string(reason) + ")";
        default:
            break;
    }
    if (reason >= SRT_REJC_PREDEFINED) {
        return "connection rejected by the sender (code " + std::to_string(reason) + ")";
    }
    std::string text = srt_rejectreason_str(reason);
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return "connection rejected: " + text;
}

// Why a listener could not bind or listen.
std::string listen_failure_text() {
    int system_error = 0;
    const int error = srt_getlasterror(&system_error);
    if (system_error == EADDRINUSE) return std::string("port in use: ") + std::strerror(EADDRINUSE);
    if (error == SRT_EDUPLISTEN) return "port in use: another SRT listener of this program has it";
    return srt_getlasterror_str();
}

// The result of one attempt to connect: the connected socket, or why not
// (empty when the attempt was given up for stop()).
struct ConnectAttempt {
    SrtSocket socket;
    std::string failure;
};

class SrtInput final : public NetworkInput {
  public:
    SrtInput(std::string name, SrtSettings settings, SocketAddress address, size_t queue_packets)
        : NetworkInput(std::move(name), queue_packets),
          settings_(std::move(settings)),
          address_(address) {}
    ~SrtInput() override {
        stop();
        // Closing the listener waits for a handshake SRT may be processing,
        // so no callback reaches this object once it is closed.
        listener_.reset();
    }

    // Caller: connects (bounded by the timeout). Listener: binds and
    // listens. False with `failure` set when that fails.
    bool connect_first(std::string& failure);
    bool listen(std::string& failure);

    void start() override;
    void stop() override;

  private:
    // A sender's handshake, as the listener's callback saw it.
    struct Handshake {
        SRTSOCKET socket = SRT_INVALID_SOCK;
        std::string peer;
        std::string refusal;  // why this input refused it, or "" when SRT decides
        Clock::time_point when;
    };
    // Messages that were not whole packets, not yet raised.
    struct BadMessages {
        uint64_t count = 0;
        int last_size = 0;
        bool same_size = true;
        std::optional<Clock::time_point> last_raised;
    };

    static int on_handshake(void* opaque, SRTSOCKET socket, int handshake_version,
                            const sockaddr* peer, const char* stream_id);
    int screen_sender(SRTSOCKET socket, const sockaddr* peer, const char* stream_id);

    void run_caller();
    void run_listener();
    ConnectAttempt connect_once();
    SrtSocket connect_again();
    SrtSocket accept_sender();
    // Reads messages until the connection breaks (returns why) or stop().
    std::optional<std::string> receive_until_lost(SRTSOCKET socket);
    void push_message_packets(const char* message, int size, Clock::time_point arrival);
    void note_bad_message(int size, Clock::time_point now);
    void raise_bad_messages(Clock::time_point now, bool at_stop);
    void review_handshakes(Clock::time_point now);
    void note_refusal(const std::string& peer, const std::string& why, Clock::time_point now);
    std::string loss_text(SRTSOCKET socket, Clock::time_point last_message) const;
    bool stopping() const { return stopping_.load(); }
    // Waits until `deadline` or stop(); false on stop().
    bool sleep_until(Clock::time_point deadline);

    const SrtSettings settings_;
    const SocketAddress address_;  // the sender's (caller) or the bound one (listener)
    SocketWaiter waiter_;
    SrtSocket connection_;  // the caller's first connection, until the thread takes it
    SrtSocket listener_;

    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> stopping_{false};
    std::mutex stop_mutex_;
    std::condition_variable stop_signal_;

    // Set while a sender is connected to the listener: others are refused.
    std::atomic<bool> sender_connected_{false};
    std::mutex handshakes_mutex_;
    std::vector<Handshake> new_handshakes_;  // from the callback, for the thread

    // The receive thread's own.
    std::vector<Handshake> pending_handshakes_;  // SRT's verdict not seen yet
    std::optional<Clock::time_point> last_refusal_;
    BadMessages bad_messages_;
    std::array<char, kMessageBufferBytes> buffer_{};
};

ConnectAttempt SrtInput::connect_once() {
    ConnectAttempt attempt;
    SrtSocket socket = create_socket(settings_, attempt.failure);
    if (!socket) return attempt;
    if (srt_connect(socket.get(), address_.get(), address_.length) == SRT_ERROR) {
        attempt.failure = srt_getlasterror_str();
        return attempt;
    }
    if (!waiter_.watch(socket.get(), SRT_EPOLL_OUT | SRT_EPOLL_ERR)) {
        attempt.failure = std::string("cannot wait on the socket (") + srt_getlasterror_str() + ")";
        return attempt;
    }
    // SRT ends the attempt at the timeout; the deadline only guards against
    // a library that would not.
    const auto deadline =
        Clock::now() + milliseconds(settings_.timeout_ms) + std::chrono::seconds(2);
    while (!stopping()) {
        waiter_.wait(kPollMs);
        const SRT_SOCKSTATUS state = srt_getsockstate(socket.get());
        if (state == SRTS_CONNECTED) {
            attempt.socket = std::move(socket);
            return attempt;
        }
        if (state >= SRTS_BROKEN) {
            attempt.failure = rejection_text(srt_getrejectreason(socket.get()), settings_);
            return attempt;
        }
        if (Clock::now() > deadline) {
            attempt.failure = rejection_text(SRT_REJ_TIMEOUT, settings_);
            return attempt;
        }
    }
    return attempt;
}

bool SrtInput::connect_first(std::string& failure) {
    if (!waiter_.open(failure)) return false;
    ConnectAttempt attempt = connect_once();
    if (!attempt.socket) {
        failure = attempt.failure;
        return false;
    }
    connection_ = std::move(attempt.socket);
    ++counters_.connections;
    return true;
}

bool SrtInput::listen(std::string& failure) {
    if (!waiter_.open(failure)) return false;
    listener_ = create_socket(settings_, failure);
    if (!listener_) return false;
    if (srt_bind(listener_.get(), address_.get(), address_.length) == SRT_ERROR) {
        failure = listen_failure_text();
        return false;
    }
    if (srt_listen_callback(listener_.get(), &SrtInput::on_handshake, this) == SRT_ERROR) {
        failure = std::string("cannot screen senders (") + srt_getlasterror_str() + ")";
        return false;
    }
    // A backlog of one: a sender at a time.
    if (srt_listen(listener_.get(), 1) == SRT_ERROR) {
        failure = listen_failure_text();
        return false;
    }
    return true;
}

void SrtInput::start() {
    if (started_) return;
    started_ = true;
    thread_ = std::thread([this] {
        if (settings_.mode == SrtMode::kCaller) {
            run_caller();
        } else {
            run_listener();
        }
        raise_bad_messages(Clock::now(), true);
    });
}

void SrtInput::stop() {
    {
        const std::lock_guard<std::mutex> lock(stop_mutex_);
        stopping_ = true;
    }
    stop_signal_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool SrtInput::sleep_until(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return !stop_signal_.wait_until(lock, deadline, [this] { return stopping(); });
}

void SrtInput::run_caller() {
    SrtSocket connection = std::move(connection_);
    while (connection) {
        const std::optional<std::string> lost = receive_until_lost(connection.get());
        if (!lost) return;
        connection.reset();
        raise_message("WARNING: " + name() + ": connection lost (" + *lost + "): reconnecting");
        connection = connect_again();
        if (!connection) return;
        ++counters_.connections;
        raise_message(name() + ": connected again");
    }
}

// Attempts start a second apart until one succeeds or stop(); each new reason
// for failing is raised once.
SrtSocket SrtInput::connect_again() {
    std::string last_failure;
    while (!stopping()) {
        const auto attempt_start = Clock::now();
        ConnectAttempt attempt = connect_once();
        if (attempt.socket) return std::move(attempt.socket);
        if (stopping()) break;
        if (attempt.failure != last_failure) {
            raise_message("WARNING: " + name() + ": cannot connect (" + attempt.failure +
                          "): trying again every second");
            last_failure = attempt.failure;
        }
        if (!sleep_until(attempt_start + kReconnectInterval)) break;
    }
    return {};
}

void SrtInput::run_listener() {
    while (!stopping()) {
        SrtSocket sender = accept_sender();
        if (!sender) return;
        ++counters_.connections;
        const std::optional<std::string> lost = receive_until_lost(sender.get());
        sender.reset();
        sender_connected_ = false;
        if (!lost) return;
        raise_message("WARNING: " + name() + ": sender gone (" + *lost +
                      "): waiting for a new one");
    }
}

// Waits for a sender and accepts it; an empty socket on stop().
SrtSocket SrtInput::accept_sender() {
    if (!waiter_.watch(listener_.get(), SRT_EPOLL_IN | SRT_EPOLL_ERR)) {
        raise_message("WARNING: " + name() + ": cannot wait for senders (" +
                      srt_getlasterror_str() + "): input stopped");
        return {};
    }
    while (!stopping()) {
        review_handshakes(Clock::now());
        // Then an attempt to accept whatever the epoll said: SRT does not
        // signal a sender that was waiting before the listener was watched.
        waiter_.wait(kPollMs);
        sockaddr_storage peer{};
        int peer_length = sizeof peer;
        SrtSocket sender(
            srt_accept(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length));
        if (!sender) continue;  // nobody yet
        sender_connected_ = true;
        // The callback has seen this sender: it is no longer pending.
        review_handshakes(Clock::now());
        std::erase_if(pending_handshakes_,
                      [&](const Handshake& handshake) { return handshake.socket == sender.get(); });
        raise_message(name() + ": sender " + address_text(reinterpret_cast<sockaddr*>(&peer)) +
                      " connected");
        return sender;
    }
    return {};
}

std::optional<std::string> SrtInput::receive_until_lost(SRTSOCKET socket) {
    if (!waiter_.watch(socket, SRT_EPOLL_IN | SRT_EPOLL_ERR)) {
        return std::string("cannot wait on the socket: ") + srt_getlasterror_str();
    }
    auto last_message = Clock::now();
    while (!stopping()) {
        const auto now = Clock::now();
        if (settings_.mode == SrtMode::kListener) review_handshakes(now);
        raise_bad_messages(now, false);
        // Then everything that is ready, until SRT has nothing more for now,
        // and the socket's state: both whatever the epoll said, as SRT may
        // not signal a socket that broke before it was watched, nor every
        // message its latency buffer releases.
        waiter_.wait(kPollMs);
        for (;;) {
            const int size = srt_recvmsg(socket, buffer_.data(), static_cast<int>(buffer_.size()));
            if (size > 0) {
                last_message = Clock::now();
                push_message_packets(buffer_.data(), size, last_message);
                continue;
            }
            if (size == SRT_ERROR && srt_getlasterror(nullptr) != SRT_EASYNCRCV) {
                return loss_text(socket, last_message);
            }
            break;
        }
        if (srt_getsockstate(socket) != SRTS_CONNECTED) return loss_text(socket, last_message);
    }
    return std::nullopt;
}

// SRT breaks a connection at once when the peer closes it, and after the
// peer idle timeout (SRTO_PEERIDLETIMEO) when nothing is heard from the
// peer: the time since the last message tells the two apart.
std::string SrtInput::loss_text(SRTSOCKET socket, Clock::time_point last_message) const {
    int idle_timeout_ms = 5000;
    int length = sizeof idle_timeout_ms;
    (void)srt_getsockflag(socket, SRTO_PEERIDLETIMEO, &idle_timeout_ms, &length);
    const auto silence = std::chrono::duration_cast<milliseconds>(Clock::now() - last_message);
    if (silence.count() + 1000 < idle_timeout_ms) return "closed by the sender";
    return "nothing heard from the sender for " + std::to_string((silence.count() + 500) / 1000) +
           " s";
}

void SrtInput::push_message_packets(const char* message, int size, Clock::time_point arrival) {
    ++counters_.datagrams;
    counters_.bytes += static_cast<uint64_t>(size);
    const size_t whole_bytes = static_cast<size_t>(size) / ts::kPacketSize * ts::kPacketSize;
    const auto* bytes = reinterpret_cast<const uint8_t*>(message);
    if (whole_bytes != static_cast<size_t>(size)) {
        ++counters_.bad_datagrams;
        note_bad_message(size, arrival);
        // Its whole packets only when they start at its first byte.
        if (!ts::is_synchronised(bytes)) return;
    }
    queue_.push(std::span<const uint8_t>(bytes, whole_bytes), arrival);
}

void SrtInput::note_bad_message(int size, Clock::time_point now) {
    BadMessages& bad = bad_messages_;
    if (bad.count > 0 && size != bad.last_size) bad.same_size = false;
    bad.last_size = size;
    ++bad.count;
    raise_bad_messages(now, false);
}

// The first message that is not whole packets is raised at once, later ones
// together at most every kWarningInterval, and what is left at stop().
void SrtInput::raise_bad_messages(Clock::time_point now, bool at_stop) {
    BadMessages& bad = bad_messages_;
    if (bad.count == 0) return;
    if (!at_stop && bad.last_raised && now - *bad.last_raised < kWarningInterval) return;
    const std::string size = std::to_string(bad.last_size);
    std::string what;
    if (bad.count == 1) {
        what = "a message of " + size + " bytes";
    } else if (bad.same_size) {
        what = std::to_string(bad.count) + " messages of " + size + " bytes";
    } else {
        what = std::to_string(bad.count) + " messages (the last of " + size + " bytes)";
    }
    raise_message("WARNING: " + name() + ": " + what + ": not whole packets");
    bad = BadMessages{};
    bad.last_raised = now;
}

// Runs on SRT's thread for each handshake reaching the listener, before SRT
// checks the passphrase; returns -1 to refuse the sender.
int SrtInput::on_handshake(void* opaque, SRTSOCKET socket, int /*handshake_version*/,
                           const sockaddr* peer, const char* stream_id) {
    return static_cast<SrtInput*>(opaque)->screen_sender(socket, peer, stream_id);
}

int SrtInput::screen_sender(SRTSOCKET socket, const sockaddr* peer, const char* stream_id) {
    Handshake handshake{socket, address_text(peer), "", Clock::now()};
    const std::string offered = stream_id != nullptr ? stream_id : "";
    if (sender_connected_) {
        handshake.refusal = "another sender is connected: one at a time";
        (void)srt_setrejectreason(socket, SRT_REJX_CONFLICT);
    } else if (!settings_.stream_id.empty() && offered != settings_.stream_id) {
        handshake.refusal = "stream id '" + offered + "', not '" + settings_.stream_id + "'";
        (void)srt_setrejectreason(socket, SRT_REJX_NOTFOUND);
    }
    const bool refused = !handshake.refusal.empty();
    const std::lock_guard<std::mutex> lock(handshakes_mutex_);
    new_handshakes_.push_back(std::move(handshake));
    return refused ? -1 : 0;
}

// Raises the senders the callback refused, and those SRT refused after the
// callback let them through: SRT closes such a sender's socket without
// telling the listener why (its reason stays SRT_REJ_UNKNOWN), so the
// message names the likely cause, the passphrase.
void SrtInput::review_handshakes(Clock::time_point now) {
    std::vector<Handshake> arrived;
    {
        const std::lock_guard<std::mutex> lock(handshakes_mutex_);
        arrived.swap(new_handshakes_);
    }
    for (Handshake& handshake : arrived) {
        if (handshake.refusal.empty()) {
            pending_handshakes_.push_back(std::move(handshake));
        } else {
            note_refusal(handshake.peer, handshake.refusal, now);
        }
    }
    const std::string likely_cause =
        settings_.passphrase.empty() ? "does it use a passphrase?" : "wrong or missing passphrase?";
    std::erase_if(pending_handshakes_, [&](const Handshake& handshake) {
        // SRT registers the sender's socket only after the callback: unknown
        // for a moment, then connected (to be accepted), or closed when
        // refused, and unknown again once collected.
        const SRT_SOCKSTATUS state = srt_getsockstate(handshake.socket);
        const bool refused = (state >= SRTS_BROKEN && state <= SRTS_CLOSED) ||
                             (state == SRTS_NONEXIST && now - handshake.when > kRegistrationGrace);
        if (refused) {
            note_refusal(handshake.peer, likely_cause, now);
            return true;
        }
        return now - handshake.when > kWarningInterval;  // given up
    });
}

// One warning per burst of refused attempts (a sender trying again and
// again): none while refusals come less than kWarningInterval apart.
void SrtInput::note_refusal(const std::string& peer, const std::string& why,
                            Clock::time_point now) {
    if (!last_refusal_ || now - *last_refusal_ >= kWarningInterval) {
        raise_message("WARNING: " + name() + ": sender " + peer + " refused (" + why + ")");
    }
    last_refusal_ = now;
}

}  // namespace

std::unique_ptr<NetworkInput> open_srt_input(const InputUri& uri,
                                             const NetworkInputOptions& options, Log& log) {
    const std::string name = display_name(uri);
    std::string error;
    const std::optional<SrtSettings> settings = read_settings(uri, error);
    if (!settings) {
        log.fatal("%s: %s\n", name.c_str(), error.c_str());
        return nullptr;
    }
    SocketAddress address;
    if (!start_srt_library(error) || !resolve(uri.host, uri.port, address, error)) {
        log.fatal("%s: %s\n", name.c_str(), error.c_str());
        return nullptr;
    }
    auto input = std::make_unique<SrtInput>(name, *settings, address, options.queue_packets);
    if (settings->mode == SrtMode::kCaller) {
        if (!input->connect_first(error)) {
            log.fatal("%s: cannot connect (%s)\n", name.c_str(), error.c_str());
            return nullptr;
        }
    } else if (!input->listen(error)) {
        log.fatal("%s: cannot listen (%s)\n", name.c_str(), error.c_str());
        return nullptr;
    }
    return input;
}

}  // namespace terramod
