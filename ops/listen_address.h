// Where a server of ops/ listens: "PORT" (the loopback address), "ADDRESS:PORT"
// or "[IPv6]:PORT", addresses in numeric form only, so that nothing is looked
// up and an operator sees exactly what is bound.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace terramod {

struct ListenAddress {
    std::string address;  // numeric, without brackets: "127.0.0.1", "::1"
    uint16_t port = 0;    // 0: any free port
    bool ipv6 = false;

    // "127.0.0.1:9101", "[::1]:9101" (with another port than the parsed one
    // when given, e.g. the one bound for port 0).
    std::string text() const { return text(port); }
    std::string text(uint16_t with_port) const;
};

// Nothing, with *error set ("the port must be a number from 0 to 65535";
// the caller names the text), when `text` is not one of the forms above.
std::optional<ListenAddress> parse_listen_address(const std::string& text, std::string* error);

}  // namespace terramod
