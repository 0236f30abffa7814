// --loop: a file input that starts again at its beginning whenever it ends,
// so the transmission runs on without a break until it is stopped.
#pragma once

#include "io/file_source.h"
#include "io/ts_source.h"
#include "tx/log.h"

namespace terramod {

class LoopingSource : public TsSource {
  public:
    LoopingSource(FileSource& file, Log& log) : file_(file), log_(log) {}

    // Fills the whole block, wrapping to the file's start as often as needed.
    // A file whose length is not a whole number of packets has its last
    // packet completed with zeros before the wrap, so every pass starts on a
    // packet boundary. Returns fewer bytes only after a read failure (or for
    // an empty file, which has nothing to loop).
    size_t read_packets(std::span<uint8_t> block) override;
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    bool failed() const override { return file_.failed(); }
    bool has_more_input() override {
        return !file_.failed() && file_.known_length().value_or(0) > 0;
    }
    uint64_t bytes_taken() const override { return bytes_taken_; }

    // How many times the input started again at its beginning.
    int64_t wraps() const { return wraps_; }

  private:
    FileSource& file_;
    Log& log_;
    uint64_t bytes_taken_ = 0;
    uint64_t pass_bytes_ = 0;  // of the current pass through the file
    int64_t wraps_ = 0;
};

}  // namespace terramod
