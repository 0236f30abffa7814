// The transport stream from standard input ("-"), a FIFO or a character
// device: a stream of unknown length, read until it ends. A stream may start
// in the middle of a packet; it is aligned to its first packet before use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/file_identity.h"
#include "common/log.h"
#include "io/ts_source.h"

namespace terramod {

class StreamSource : public TsSource {
  public:
    // True when `path` is read as a stream: "-" (standard input), a FIFO or a
    // character device. Anything else (a regular file, a directory, a name
    // that does not exist) is left to FileSource.
    static bool names_stream(const std::string& path);

    // Opens the stream `path` names. A FIFO is opened without waiting for its
    // writer (reads wait for data instead), so the outputs can be checked
    // first. On failure writes a fatal message and returns nothing.
    // `wake_descriptor` (or -1): once it is readable (a stop signal came),
    // every wait for input ends and the input counts as ended.
    static std::unique_ptr<StreamSource> open(const std::string& path, Log& log,
                                              int wake_descriptor = -1);
    // Over a descriptor the caller keeps open (tests).
    static std::unique_ptr<StreamSource> over_descriptor(int descriptor, std::string name, Log& log,
                                                         int wake_descriptor = -1);
    ~StreamSource() override;
    StreamSource(const StreamSource&) = delete;
    StreamSource& operator=(const StreamSource&) = delete;

    // Skips to the first sync byte followed by four more at packet pitch (at
    // the end of the input: by all that remain) and warns how many bytes
    // went; blocks until enough of the stream has arrived.
    void skip_to_first_packet() override;
    size_t read_packets(std::span<uint8_t> block) override;
    bool has_more_input() override;
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    uint64_t bytes_taken() const override { return bytes_taken_; }
    bool failed() const override { return failed_; }
    void set_idle_task(std::function<void()> task) override { idle_task_ = std::move(task); }

    const FileIdentity& identity() const { return identity_; }
    // True once the wake descriptor ended a wait: nothing more is read.
    bool interrupted() const { return interrupted_; }

    // A wait for input this long is warned of (level 1) while it lasts, and
    // its length when input comes again.
    static constexpr std::chrono::milliseconds kStallWarning{1000};

  private:
    using Clock = std::chrono::steady_clock;

    StreamSource(int descriptor, bool owned, std::string name, FileIdentity identity, Log& log,
                 int wake_descriptor)
        : descriptor_(descriptor),
          owned_(owned),
          name_(std::move(name)),
          identity_(identity),
          log_(log),
          wake_descriptor_(wake_descriptor) {}

    // Waits until the input is readable (true), or the wake descriptor is
    // (false); warns of a long wait and runs the idle task meanwhile.
    bool wait_for_input();
    void note_input_came(Clock::time_point wait_start);

    // Reads what has arrived into `buffer` (at most `size` bytes), waiting for
    // at least one byte; 0 at the end of the input or after a read error.
    size_t read_some(uint8_t* buffer, size_t size);
    // Appends arriving bytes to the look-ahead until it holds `wanted` bytes
    // or the input ends.
    void fill_lookahead(size_t wanted);
    // The first position of the look-ahead where a packet can start, or
    // nothing; `complete` says whether more input may still come.
    std::optional<size_t> first_packet_start(bool complete) const;

    int descriptor_;
    bool owned_;
    std::string name_;
    FileIdentity identity_;
    Log& log_;
    std::vector<uint8_t> lookahead_;  // bytes read but not yet handed out
    int wake_descriptor_;
    std::function<void()> idle_task_;
    bool stall_warned_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool interrupted_ = false;
    uint64_t bytes_taken_ = 0;
};

}  // namespace terramod
