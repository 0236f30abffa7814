// Transport stream input: opens and measures the MPEG-2 TS file and hands the
// cycle loop one block of whole packets per call, padding the last block with
// empty packets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "tx/log.h"

namespace terramod {

// Where a file lives on disk: two names denote the same file exactly when
// both fields agree.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an existing file, or nothing when `path` names none.
std::optional<FileIdentity> file_identity(const std::string& path);

class TsInput {
  public:
    static constexpr int32_t kPacketLength = 188;
    static constexpr uint8_t kSyncByte = 0x47;

    explicit TsInput(Log& log);
    ~TsInput();
    TsInput(const TsInput&) = delete;
    TsInput& operator=(const TsInput&) = delete;

    // Opens `path` for reading and returns its length in bytes, as the file
    // system records it. On a fatal error (no name, cannot open, not a regular
    // file) writes the message at level 0 and returns nothing.
    std::optional<uint64_t> open_input(const std::optional<std::string>& path);

    // Fills `block` with exactly `length` bytes: what the file still holds, then
    // padding (0x47 at every packet boundary, zeros elsewhere). Returns length.
    int32_t read_block(uint8_t* block, int32_t length);

    // The open input's identity (valid after a successful open_input).
    const FileIdentity& identity() const { return identity_; }

    void close();

  private:
    Log& log_;
    std::FILE* file_ = nullptr;
    FileIdentity identity_;
};

// The fill of the block's tail from `start` on: whole empty packets at every
// packet boundary, the rest of a packet cut by the end of the file zeroed.
void pad_block(uint8_t* block, int32_t start, int32_t length);

}  // namespace terramod
