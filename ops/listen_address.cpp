#include "ops/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace terramod {

namespace {

constexpr char kLoopback[] = "127.0.0.1";

std::optional<uint16_t> parse_port(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool is_ipv4(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool is_ipv6(const std::string& text) {
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

std::nullopt_t fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return std::nullopt;
}

}  // namespace

std::string ListenAddress::text(uint16_t with_port) const {
    const std::string host = ipv6 ? "[" + address + "]" : address;
    return host + ":" + std::to_string(with_port);
}

std::optional<ListenAddress> parse_listen_address(const std::string& text, std::string* error) {
    ListenAddress result;
    std::string port_text;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return fail(error, "an IPv6 address is written [ADDRESS]:PORT");
        result.address = text.substr(1, close - 1);
        result.ipv6 = true;
        port_text = text.substr(close + 2);
        if (!is_ipv6(result.address))
            return fail(error, "'" + result.address + "' is not a numeric IPv6 address");
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        result.address = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (result.address.find(':') != std::string::npos)
            return fail(error, "an IPv6 address goes in brackets: [::1]:PORT");
        if (!is_ipv4(result.address))
            return fail(error, "'" + result.address +
                                   "' is not a numeric IPv4 address (an IPv6 one goes in "
                                   "brackets: [::1]:PORT)");
    } else {
        result.address = kLoopback;
        port_text = text;
    }
    const std::optional<uint16_t> port = parse_port(port_text);
    if (!port) return fail(error, "the port must be a number from 0 to 65535");
    result.port = *port;
    return result;
}

}  // namespace terramod
