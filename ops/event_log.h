// --events: the run's alarms and state changes as JSON lines, one object a
// line with its UTC time and its name first:
//   {"time":"2026-12-09T04:01:02.345Z","event":"ts_loss_begin","input":"udp://..."}
// to a file (appended to, each line written whole at once) or to a unix
// datagram socket ("unix:PATH", one line a datagram, never waiting for a
// slow reader: an event the socket cannot take is counted as lost).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/run_events.h"

namespace terramod {

// An event as its JSON line (with the newline), at `time_ns` (UTC, ns since
// 1970).
std::string event_json(const RunEvent& event, int64_t time_ns);

class EventLog : public RunEventSink {
  public:
    // Opens the file (created 0644 if need be) or connects the socket; null
    // with *error set when it cannot.
    static std::unique_ptr<EventLog> open(const std::string& target, std::string* error);
    ~EventLog() override;
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    void raise(const RunEvent& event) override;
    const std::string& target() const { return target_; }
    // Events that could not be written (a full disk, a socket that did not
    // take them). The first failure's reason.
    uint64_t lost() const;
    std::string first_error() const;

  private:
    EventLog(std::string target, int descriptor, bool datagram)
        : target_(std::move(target)), descriptor_(descriptor), datagram_(datagram) {}

    std::string target_;
    int descriptor_;
    bool datagram_;
    mutable std::mutex mutex_;
    uint64_t lost_ = 0;
    std::string first_error_;
};

}  // namespace terramod
