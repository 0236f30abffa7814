#include "ops/event_log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/json_text.h"
#include "common/utc_clock.h"
#include "ops/metrics.h"

namespace terramod {

namespace {

constexpr char kSocketPrefix[] = "unix:";

// "2026-12-09T04:01:02.345Z"
std::string utc_millisecond_text(int64_t time_ns) {
    const int64_t milliseconds = time_ns >= 0 ? time_ns / 1000000 : (time_ns - 999999) / 1000000;
    const int64_t whole_seconds =
        milliseconds >= 0 ? milliseconds / 1000 : (milliseconds - 999) / 1000;
    const std::time_t seconds = static_cast<std::time_t>(whole_seconds);
    const int millisecond = static_cast<int>(milliseconds - whole_seconds * 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  millisecond);
    return text;
}

void append_json_string(std::string& out, const std::string& text) {
    out += json_quoted(text);
}

void append_json_value(std::string& out, const RunEventValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        append_json_string(out, *text);
    } else if (const auto* number = std::get_if<double>(&value)) {
        // JSON has no NaN or infinity.
        out += std::isfinite(*number) ? format_metric_value(*number) : "null";
    } else if (const auto* count = std::get_if<int64_t>(&value)) {
        out += std::to_string(*count);
    } else {
        out += std::get<bool>(value) ? "true" : "false";
    }
}

int connect_datagram_socket(const std::string& path, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = "unix socket path empty or too long";
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = std::strerror(errno);
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

}  // namespace

std::string event_json(const RunEvent& event, int64_t time_ns) {
    std::string line = "{\"time\":\"" + utc_millisecond_text(time_ns) + "\",\"event\":";
    append_json_string(line, event.name);
    for (const auto& [key, value] : event.fields) {
        line += ',';
        append_json_string(line, key);
        line += ':';
        append_json_value(line, value);
    }
    line += "}\n";
    return line;
}

std::unique_ptr<EventLog> EventLog::open(const std::string& target, std::string* error) {
    std::string reason;
    const bool datagram = target.rfind(kSocketPrefix, 0) == 0;
    int descriptor = -1;
    if (datagram) {
        descriptor = connect_datagram_socket(target.substr(sizeof kSocketPrefix - 1), &reason);
    } else {
        descriptor = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (descriptor < 0) reason = std::strerror(errno);
    }
    if (descriptor < 0) {
        *error = "can't open the events " + std::string(datagram ? "socket" : "file") + " \"" +
                 target + "\": " + reason;
        return nullptr;
    }
    return std::unique_ptr<EventLog>(new EventLog(target, descriptor, datagram));
}

EventLog::~EventLog() {
    ::close(descriptor_);
}

void EventLog::raise(const RunEvent& event) {
    const std::string line = event_json(event, utc_now_ns());
    std::lock_guard<std::mutex> lock(mutex_);
    // One write a line (O_APPEND), or one datagram that never waits.
    const ssize_t written =
        datagram_ ? ::send(descriptor_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                  : ::write(descriptor_, line.data(), line.size());
    if (written == static_cast<ssize_t>(line.size())) return;
    if (lost_++ == 0)
        first_error_ = written < 0 ? std::strerror(errno) : "a line was written only in part";
}

uint64_t EventLog::lost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

std::string EventLog::first_error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_error_;
}

}  // namespace terramod
