// The control interface: an operator reads the run's parameters and metrics
// and changes parameters while the run goes on, one command a line, through a
// unix socket or a TCP port (tools/terramod-ctl is its client). The server
// has a thread of its own and only asks ControlSettings for changes; the
// driver takes them at a cycle boundary. No client can disturb the run: one
// client at a time, lines of bounded length, replies sent without blocking,
// a client that does not read its replies is dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ops/control_settings.h"
#include "ops/metrics.h"

namespace terramod {

struct ControlEndpoint {
    enum class Kind { kUnix, kTcp } kind = Kind::kUnix;
    std::string path;                   // kUnix
    std::string address = "127.0.0.1";  // kTcp, numeric, IPv6 without brackets
    uint16_t port = 0;                  // kTcp, 0 = any free port (tests)
};

// "unix:PATH", "tcp:PORT" (loopback), "tcp:ADDRESS:PORT", "tcp:[IPv6]:PORT";
// nothing, with *error set, when malformed.
std::optional<ControlEndpoint> parse_control_endpoint(const std::string& text, std::string* error);

// The longest command line taken, without its line end.
inline constexpr size_t kMaxControlLine = 1024;

// One command line (without its newline) -> one reply line (without newline):
//   list            -> "ok NAME=VALUE NAME=VALUE ..." every settable parameter
//                      then every metric (names as metric_entries() gives them)
//   get NAME        -> "ok VALUE" (a parameter first, else a metric) or
//                      "error unknown name NAME"
//   set NAME VALUE  -> settings.set(): "ok VALUE" or "error MESSAGE"
//   anything else   -> "error unknown command WORD (list, get NAME, set NAME VALUE)",
//                      "error usage: get NAME", ...
// Words are separated by spaces or tabs. Control characters of the line show
// as '?' in the reply, which is always one line.
std::string answer_control_command(std::string_view line, ControlSettings& settings,
                                   const RunMetrics& metrics);

// `settings` and `metrics` must outlive the server.
class ControlServer {
  public:
    // Listens and serves in a thread of its own; null with *error set
    // ("tcp:127.0.0.1:7373: address in use", "unix:/x/y.sock: in use by
    // another run") when it cannot listen. A unix socket file left by a run
    // that ended is replaced; a file that is not a socket is left alone.
    static std::unique_ptr<ControlServer> start(const ControlEndpoint& endpoint,
                                                ControlSettings& settings,
                                                const RunMetrics& metrics, std::string* error);
    // Stops the thread promptly, closes every socket, removes its unix
    // socket file (when it is still the one it made).
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // "unix:/run/terramod/a.sock" or "tcp:127.0.0.1:41234" (the bound port).
    std::string describe() const;
    // The bound TCP port (0 for a unix socket).
    uint16_t port() const;

  private:
    struct State;
    explicit ControlServer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace terramod
