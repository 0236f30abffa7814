// The transport stream from a regular file: opened and measured at start-up,
// read block by block.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "io/file_identity.h"
#include "io/ts_source.h"
#include "tx/log.h"

namespace terramod {

class FileSource : public TsSource {
  public:
    // Opens `path` for reading and measures it. On a fatal error (no name,
    // cannot open, not a regular file) writes the message at level 0 and
    // returns nothing.
    static std::unique_ptr<FileSource> open(const std::optional<std::string>& path, Log& log);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    size_t read_packets(std::span<uint8_t> block) override;
    bool has_more_input() override;
    uint64_t bytes_taken() const override { return bytes_taken_; }
    // The length the file system recorded when the file was opened.
    std::optional<uint64_t> known_length() const override { return length_; }

    const FileIdentity& identity() const { return identity_; }

  private:
    FileSource(std::FILE* file, FileIdentity identity, uint64_t length)
        : file_(file), identity_(identity), length_(length) {}

    std::FILE* file_;
    FileIdentity identity_;
    uint64_t length_;
    uint64_t bytes_taken_ = 0;
};

}  // namespace terramod
