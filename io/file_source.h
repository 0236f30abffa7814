// The transport stream from a regular file: opened and measured at start-up,
// read block by block.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "common/file_identity.h"
#include "common/log.h"
#include "io/ts_source.h"

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

    // A read error or an end before the measured length: warned once, and
    // the input ends there.
    bool failed() const override { return failed_; }

    const FileIdentity& identity() const { return identity_; }

    bool can_rewind() const override { return true; }
    // Starts again at the file's first byte (--loop); false after a failure.
    bool rewind() override;

  private:
    FileSource(std::FILE* file, std::string path, FileIdentity identity, uint64_t length, Log& log)
        : file_(file), path_(std::move(path)), identity_(identity), length_(length), log_(log) {}

    void report_early_end();

    std::FILE* file_;
    std::string path_;
    FileIdentity identity_;
    uint64_t length_;
    uint64_t bytes_taken_ = 0;
    Log& log_;
    bool failed_ = false;
};

// The fatal message for an input that cannot be opened: "Can't find" when it
// does not exist, else the system's reason.
void report_open_error(const std::string& path, int error, Log& log);

}  // namespace terramod
