// The samples to standard output (-o -), for a pipe into an SDR tool or a
// receiver. Written with write(2) straight from the caller's buffer.
#pragma once

#include <string>

#include "io/sample_sink.h"

namespace terramod {

class StandardOutputSink : public SampleSink {
  public:
    // `descriptor` is standard output in a run; tests pass a pipe of their own.
    // `wake_descriptor` (or -1): once it is readable (a stop signal came), a
    // write waiting for the reader gives up.
    explicit StandardOutputSink(int descriptor = 1, int wake_descriptor = -1);

    bool open() override;
    bool is_open() const override { return open_; }
    const std::string& name() const override { return name_; }
    // Retries partial writes and interrupted calls until every byte is out,
    // or until the wake descriptor ends the wait (false, interrupted()). A
    // pipe keeps no time: the samples follow each other.
    bool write_samples(std::span<const uint8_t> encoded, const CycleTime& time) override;
    // Standard output stays open for whatever runs after; nothing is buffered.
    bool close() override;
    bool reader_gone() const override { return reader_gone_; }
    bool interrupted() const override { return interrupted_; }

  private:
    // Waits until the descriptor takes bytes (true) or the wake descriptor
    // is readable (false).
    bool wait_for_room();

    int descriptor_;
    int wake_descriptor_;
    bool interrupted_ = false;
    std::string name_ = "standard output";
    bool open_ = false;
    bool reader_gone_ = false;
};

}  // namespace terramod
