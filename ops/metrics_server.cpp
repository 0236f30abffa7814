#include "ops/metrics_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/stop_signals.h"
#include "ops/listen_address.h"

#ifdef TERRAMOD_HAVE_CIVETWEB
#include <civetweb.h>
#endif

namespace terramod {

namespace {

constexpr char kPrefix[] = "terramod_";

// HELP text: a backslash and a line feed escaped.
std::string escape_help(const char* text) {
    std::string escaped;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\\')
            escaped += "\\\\";
        else if (*c == '\n')
            escaped += "\\n";
        else
            escaped += *c;
    }
    return escaped;
}

// A label value: a backslash, a double quote and a line feed escaped.
std::string escape_label(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

}  // namespace

std::string prometheus_text(const MetricValues& values, const PrometheusBuildInfo& build) {
    std::string text;
    for (const MetricEntry& entry : metric_entries(values)) {
        const std::string name = kPrefix + std::string(entry.name);
        text += "# HELP " + name + " " + escape_help(entry.help) + "\n";
        text += "# TYPE " + name + (entry.kind == MetricKind::kCounter ? " counter\n" : " gauge\n");
        text += name + " " + format_metric_value(entry.value) + "\n";
    }
    const std::string name = std::string(kPrefix) + "build_info";
    text += "# HELP " + name + " terramod's version\n";
    text += "# TYPE " + name + " gauge\n";
    text += name + "{version=\"" + escape_label(build.version) + "\"} 1\n";
    return text;
}

#ifdef TERRAMOD_HAVE_CIVETWEB

namespace {

constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kPlainType[] = "text/plain; charset=utf-8";

int respond(mg_connection* connection, int status, const char* type, const std::string& body,
            bool head) {
    mg_response_header_start(connection, status);
    mg_response_header_add(connection, "Content-Type", type, -1);
    mg_response_header_add(connection, "Content-Length", std::to_string(body.size()).c_str(), -1);
    if (status == 405) mg_response_header_add(connection, "Allow", "GET, HEAD", -1);
    mg_response_header_send(connection);
    if (!head) mg_write(connection, body.data(), body.size());
    return status;
}

}  // namespace

struct MetricsServer::State {
    State(const RunMetrics& metrics, const PrometheusBuildInfo& build, ListenAddress address)
        : metrics(metrics), build(build), address(std::move(address)) {}
    ~State() {
        if (context == nullptr) return;
        // civetweb's listening thread looks at its stop flag only between
        // waits of 2 s or when a connection comes: connections made while
        // mg_stop() waits end that wait at once.
        std::atomic<bool> stopped{false};
        std::thread waker;
        try {
            waker = std::thread([this, &stopped] { wake_until(stopped); });
        } catch (const std::system_error&) {
            // Without it the stop takes up to 2 s more.
        }
        mg_stop(context);
        stopped = true;
        if (waker.joinable()) waker.join();
    }
    void wake_until(const std::atomic<bool>& stopped) const;

    // civetweb's messages while it starts, for the error; none later.
    void note(const char* message) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!started) messages.emplace_back(message);
    }
    std::string start_error(const char* civetweb_text) {
        std::lock_guard<std::mutex> lock(mutex);
        started = true;
        auto said = [&](const char* text) {
            for (const std::string& message : messages)
                if (message.find(text) != std::string::npos) return true;
            return false;
        };
        const std::string name = address.text();
        if (said("Address already in use")) return name + ": address in use";
        if (said("Cannot assign requested address"))
            return name + ": no such address on this machine";
        if (said("Permission denied"))
            return name + ": permission denied (ports below 1024 need privileges)";
        std::string text;
        for (const std::string& message : messages) text += (text.empty() ? "" : "; ") + message;
        if (text.empty())
            text = civetweb_text[0] != '\0' ? civetweb_text : "civetweb did not start";
        return name + ": " + text;
    }
    void end_start() {
        std::lock_guard<std::mutex> lock(mutex);
        started = true;
        messages.clear();
    }

    // civetweb's callbacks; `data` and the user data are the State.
    static int log_message(const mg_connection* connection, const char* message);
    static int handle_request(mg_connection* connection, void* data);

    const RunMetrics& metrics;
    const PrometheusBuildInfo build;
    const ListenAddress address;
    mg_context* context = nullptr;
    uint16_t port = 0;

    std::mutex mutex;
    bool started = false;
    std::vector<std::string> messages;
};

void MetricsServer::State::wake_until(const std::atomic<bool>& stopped) const {
    const StopSignalsBlocked blocked;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        if (::inet_pton(AF_INET6, address.address.c_str(), &v6->sin6_addr) != 1) return;
        if (IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr)) v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        if (::inet_pton(AF_INET, address.address.c_str(), &v4->sin_addr) != 1) return;
        if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    }
    while (!stopped) {
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 &&
            errno == EINPROGRESS) {
            pollfd connecting{fd, POLLOUT, 0};
            ::poll(&connecting, 1, 50);
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int MetricsServer::State::log_message(const mg_connection* connection, const char* message) {
    if (connection == nullptr || message == nullptr) return 1;
    const mg_context* context = mg_get_context(connection);
    if (context == nullptr) return 1;
    if (auto* state = static_cast<State*>(mg_get_user_data(context))) state->note(message);
    return 1;  // never on the console
}

int MetricsServer::State::handle_request(mg_connection* connection, void* data) {
    try {
        const auto* state = static_cast<const State*>(data);
        const mg_request_info* request = mg_get_request_info(connection);
        const std::string method =
            request != nullptr && request->request_method != nullptr ? request->request_method : "";
        const std::string path =
            request != nullptr && request->local_uri != nullptr ? request->local_uri : "";
        const bool head = method == "HEAD";
        if (path != "/metrics")
            return respond(connection, 404, kPlainType, "not found: the metrics are at /metrics\n",
                           head);
        if (method != "GET" && !head)
            return respond(connection, 405, kPlainType, "method not allowed: GET or HEAD\n", false);
        return respond(connection, 200, kExpositionType,
                       prometheus_text(state->metrics.snapshot(), state->build), head);
    } catch (...) {
        // Out of memory: no exception may cross civetweb's C code.
        mg_send_http_error(connection, 500, "%s", "internal error\n");
        return 500;
    }
}

MetricsServer::MetricsServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

MetricsServer::~MetricsServer() = default;

std::unique_ptr<MetricsServer> MetricsServer::start(const std::string& listen,
                                                    const RunMetrics& metrics,
                                                    const PrometheusBuildInfo& build,
                                                    std::string* error) {
    auto fail = [&](const std::string& message) -> std::unique_ptr<MetricsServer> {
        if (error != nullptr) *error = message;
        return nullptr;
    };
    std::string why;
    const std::optional<ListenAddress> address = parse_listen_address(listen, &why);
    if (!address) return fail("'" + listen + "': " + why);
    if (address->ipv6 && mg_check_feature(MG_FEATURES_IPV6) == 0)
        return fail(address->text() +
                    ": this build's civetweb has no IPv6 (listen on an IPv4 address)");

    auto state = std::make_unique<State>(metrics, build, *address);
    const std::string ports = address->text();
    const char* options[] = {
        "listening_ports",   ports.c_str(), "num_threads", "2", "request_timeout_ms", "5000",
        "enable_keep_alive", "no",          nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = &State::log_message;
    mg_init_data init{&callbacks, state.get(), options};
    char text[256] = "";
    unsigned code = 0;
    mg_error_data failure{&code, text, sizeof text};
    {
        // civetweb's threads take the signal mask of this one: the stop
        // signals stay with the driver's thread.
        const StopSignalsBlocked blocked;
        state->context = mg_start2(&init, &failure);
    }
    if (state->context == nullptr) return fail(state->start_error(text));
    state->end_start();
    mg_set_request_handler(state->context, "/", &State::handle_request, state.get());
    mg_server_port bound[4] = {};
    const int count = mg_get_server_ports(state->context, 4, bound);
    if (count < 1 || bound[0].port <= 0 || bound[0].port > 65535)
        return fail(address->text() + ": civetweb does not tell the port it listens on");
    state->port = static_cast<uint16_t>(bound[0].port);
    return std::unique_ptr<MetricsServer>(new MetricsServer(std::move(state)));
}

uint16_t MetricsServer::port() const {
    return state_->port;
}

std::string MetricsServer::url() const {
    return "http://" + state_->address.text(state_->port) + "/metrics";
}

#else  // no civetweb

struct MetricsServer::State {};

MetricsServer::MetricsServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

MetricsServer::~MetricsServer() = default;

std::unique_ptr<MetricsServer> MetricsServer::start(const std::string&, const RunMetrics&,
                                                    const PrometheusBuildInfo&,
                                                    std::string* error) {
    if (error != nullptr)
        *error = "this build has no metrics endpoint (built without libcivetweb-dev)";
    return nullptr;
}

uint16_t MetricsServer::port() const {
    return 0;
}

std::string MetricsServer::url() const {
    return "";
}

#endif

}  // namespace terramod
