// One output file of the run: a dump file, the sample file or one of the
// Agilent pair. Raw little-endian buffer images, cycle after cycle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "io/sample_sink.h"

namespace terramod {

class OutputFile : public SampleSink {
  public:
    explicit OutputFile(std::string name) : name_(std::move(name)) {}
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates or truncates the file (a stored file under an exclusive lock
    // for the whole run); false when it cannot be created or another run
    // holds its lock (in_use()).
    bool open() override;
    bool is_open() const override { return file_ != nullptr; }
    bool in_use() const override { return in_use_; }
    const std::string& name() const override { return name_; }

    // Writes the bytes whole; false when the write fell short.
    bool write_bytes(std::span<const uint8_t> bytes);
    // A file keeps no time: the samples follow each other.
    bool write_samples(std::span<const uint8_t> encoded, const CycleTime&) override {
        return write_bytes(encoded);
    }
    // Closing flushes what stdio still buffers: false when that failed. A
    // file never opened closes successfully.
    bool close() override;

  private:
    std::string name_;
    std::FILE* file_ = nullptr;
    bool in_use_ = false;
};

}  // namespace terramod
