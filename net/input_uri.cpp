#include "net/input_uri.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cctype>
#include <charconv>
#include <string_view>
#include <vector>

namespace terramod {
namespace {

constexpr std::string_view kUdpPrefix = "udp://";
constexpr std::string_view kSrtPrefix = "srt://";

// SRT's limits: a passphrase of 10 to 79 characters, a stream id of at most
// 512 characters.
constexpr size_t kPassphraseMin = 10;
constexpr size_t kPassphraseMax = 79;
constexpr size_t kStreamIdMax = 512;
constexpr int64_t kLatencyMaxMs = 60000;
constexpr int64_t kIntMax = 2147483647;  // socket options and SRT settings are ints

// One setting a scheme knows: its name and a check of its (decoded) value,
// which returns what is wrong with it, or "" when it is good.
struct SettingRule {
    std::string_view key;
    std::string (*check)(const std::string& value);
};

// An integer of decimal digits only, in [low, high].
std::optional<int64_t> integer_in(const std::string& text, int64_t low, int64_t high) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text[0] == '-' ||
        text[0] == '+')
        return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

std::string check_interface(const std::string& value) {
    if (value.empty() || value.size() >= IF_NAMESIZE || value.find('/') != std::string::npos)
        return "not a network interface name";
    return "";
}

std::string check_buffer(const std::string& value) {
    return integer_in(value, 1, kIntMax) ? "" : "not a positive number of bytes";
}

std::string check_mode(const std::string& value) {
    return value == "caller" || value == "listener" ? "" : "not caller or listener";
}

std::string check_latency(const std::string& value) {
    return integer_in(value, 0, kLatencyMaxMs) ? "" : "not 0 to 60000 ms";
}

std::string check_passphrase(const std::string& value) {
    return value.size() >= kPassphraseMin && value.size() <= kPassphraseMax
               ? ""
               : "not 10 to 79 characters";
}

std::string check_streamid(const std::string& value) {
    return value.size() <= kStreamIdMax ? "" : "longer than 512 characters";
}

std::string check_timeout(const std::string& value) {
    return integer_in(value, 1, kIntMax) ? "" : "not a positive number of ms";
}

const std::vector<SettingRule>& rules_of(const std::string& scheme) {
    static const std::vector<SettingRule> udp = {{"interface", check_interface},
                                                 {"buffer", check_buffer}};
    static const std::vector<SettingRule> srt = {{"mode", check_mode},
                                                 {"latency", check_latency},
                                                 {"passphrase", check_passphrase},
                                                 {"streamid", check_streamid},
                                                 {"timeout", check_timeout}};
    return scheme == "udp" ? udp : srt;
}

std::string known_keys(const std::vector<SettingRule>& rules) {
    std::string text = " (known: ";
    for (size_t index = 0; index < rules.size(); ++index) {
        if (index > 0) text += ", ";
        text += rules[index].key;
    }
    return text + ")";
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%xx" escapes decoded ("+" stays "+": these are not form fields).
std::optional<std::string> percent_decoded(std::string_view text) {
    std::string decoded;
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            decoded += text[index];
            continue;
        }
        if (index + 2 >= text.size()) return std::nullopt;
        const int high = hex_digit(text[index + 1]);
        const int low = hex_digit(text[index + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        index += 2;
    }
    return decoded;
}

// `text` in double quotes.
std::string quoted(std::string_view text) {
    std::string result(1, '"');
    result.append(text);
    result += '"';
    return result;
}

bool is_host_name(std::string_view text) {
    for (const char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    }
    return !text.empty();
}

bool is_ipv6_literal(const std::string& text) {
    in6_addr address;
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// An address as the name writes it: "host", "192.0.2.1" or "[2001:db8::1]"
// (the brackets taken off). Returns what is wrong, or "".
std::string parse_address(std::string_view text, std::string& address) {
    if (!text.empty() && text.front() == '[') {
        if (text.back() != ']') return "no closing bracket";
        address = std::string(text.substr(1, text.size() - 2));
        return is_ipv6_literal(address) ? "" : quoted(address) + " is not an IPv6 address";
    }
    if (text.find(':') != std::string_view::npos) {
        std::string bracketed = "[";
        bracketed.append(text);
        bracketed += ']';
        return "an IPv6 address goes in brackets (" + quoted(bracketed) + ")";
    }
    if (!is_host_name(text)) return quoted(text) + " is not a host name or address";
    address = std::string(text);
    return "";
}

// "host:port" with host possibly empty or bracketed.
std::string parse_host_and_port(std::string_view text, InputUri& uri) {
    size_t colon;
    if (!text.empty() && text.front() == '[') {
        const size_t bracket = text.find(']');
        if (bracket == std::string_view::npos) return "no closing bracket";
        colon = bracket + 1;
        if (colon >= text.size() || text[colon] != ':') return "no port";
    } else {
        colon = text.rfind(':');
        if (colon == std::string_view::npos) return "no port";
    }
    const std::string port_text(text.substr(colon + 1));
    if (port_text.empty()) return "no port";
    const std::optional<int64_t> port = integer_in(port_text, 1, 65535);
    if (!port) return "bad port " + quoted(port_text) + " (1 to 65535)";
    uri.port = static_cast<uint16_t>(*port);
    const std::string_view host = text.substr(0, colon);
    if (host.empty()) return "";
    return parse_address(host, uri.host);
}

// "[source@]host:port"; "@host:port" has no source.
std::string parse_authority(std::string_view text, InputUri& uri) {
    const size_t at = text.find('@');
    if (at == std::string_view::npos) return parse_host_and_port(text, uri);
    const std::string_view source = text.substr(0, at);
    if (!source.empty()) {
        if (uri.scheme != "udp") return "a source address (\"source@\") is for udp:// only";
        const std::string problem = parse_address(source, uri.source);
        if (!problem.empty()) return "source: " + problem;
    }
    return parse_host_and_port(text.substr(at + 1), uri);
}

std::string parse_query(std::string_view text, InputUri& uri) {
    const std::vector<SettingRule>& rules = rules_of(uri.scheme);
    while (!text.empty()) {
        const size_t ampersand = text.find('&');
        const std::string_view setting = text.substr(0, ampersand);
        text =
            ampersand == std::string_view::npos ? std::string_view() : text.substr(ampersand + 1);
        if (setting.empty()) continue;  // "a=1&&b=2", a trailing "&"
        const size_t equals = setting.find('=');
        const std::string key(setting.substr(0, equals));
        const SettingRule* rule = nullptr;
        for (const SettingRule& candidate : rules) {
            if (candidate.key == key) rule = &candidate;
        }
        if (!rule) return "unknown setting " + quoted(key) + known_keys(rules);
        if (uri.query.count(key))
            return "setting " + quoted(key) + " given twice" + known_keys(rules);
        if (equals == std::string_view::npos)
            return "setting " + quoted(key) + " has no value" + known_keys(rules);
        const std::optional<std::string> value = percent_decoded(setting.substr(equals + 1));
        if (!value) return "setting " + quoted(key) + ": bad %-escape" + known_keys(rules);
        const std::string problem = rule->check(*value);
        // A passphrase is not repeated in a message.
        const std::string shown = key == "passphrase" ? "" : " " + quoted(*value);
        if (!problem.empty()) return "bad " + key + shown + ": " + problem + known_keys(rules);
        uri.query.emplace(key, *value);
    }
    return "";
}

// SRT: a caller calls a host; without a host the input listens.
std::string settle_srt_mode(InputUri& uri) {
    const auto mode = uri.query.find("mode");
    if (mode == uri.query.end()) {
        uri.query.emplace("mode", uri.host.empty() ? "listener" : "caller");
        return "";
    }
    if (mode->second == "caller" && uri.host.empty()) return "a caller needs a host to call";
    return "";
}

}  // namespace

bool names_network_input(const std::string& name) {
    return name.starts_with(kUdpPrefix) || name.starts_with(kSrtPrefix);
}

std::optional<InputUri> parse_input_uri(const std::string& name, std::string& error) {
    InputUri uri;
    uri.text = name;
    if (name.starts_with(kUdpPrefix)) {
        uri.scheme = "udp";
    } else if (name.starts_with(kSrtPrefix)) {
        uri.scheme = "srt";
    } else {
        error = name + ": not a network input (udp://... or srt://...)";
        return std::nullopt;
    }
    const std::string_view rest = std::string_view(name).substr(kUdpPrefix.size());
    const size_t question = rest.find('?');
    std::string problem = parse_authority(rest.substr(0, question), uri);
    if (problem.empty() && question != std::string_view::npos)
        problem = parse_query(rest.substr(question + 1), uri);
    if (problem.empty() && uri.scheme == "srt") problem = settle_srt_mode(uri);
    if (!problem.empty()) {
        error = name + ": " + problem;
        return std::nullopt;
    }
    return uri;
}

}  // namespace terramod
