// The name of a network input: scheme://[source@]host:port[?key=value&...].
// "udp://239.1.1.1:1234", "udp://10.0.0.2@232.1.1.1:5000?interface=eth0",
// "udp://[ff15::1]:5000", "srt://host:9000?mode=caller&latency=120".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace terramod {

struct InputUri {
    std::string scheme;  // "udp" or "srt"
    std::string source;  // source-specific multicast: the sender's address, or ""
    std::string host;    // without the brackets of an IPv6 literal; may be "" (any)
    uint16_t port = 0;
    // Keys as given, values %-decoded and checked; srt: "mode" is always
    // there (caller with a host, listener without one, unless given).
    std::map<std::string, std::string> query;
    std::string text;  // the name as given (for messages)
};

// True when `name` names a network input (a scheme this build knows of, or
// "srt" in a build without SRT, which open_network_input then refuses).
bool names_network_input(const std::string& name);

// Parses `name`; on failure returns nothing and sets `error` to a message
// such as "udp://x: no port" (without "FATAL ERROR: ").
std::optional<InputUri> parse_input_uri(const std::string& name, std::string& error);

}  // namespace terramod
