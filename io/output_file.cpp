#include "io/output_file.h"

#include "common/locked_file.h"

namespace terramod {

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::open() {
    LockedOpenResult result;
    file_ = open_locked_for_writing(name_, "wb", result);
    in_use_ = result == LockedOpenResult::kInUse;
    return file_ != nullptr;
}

bool OutputFile::write_bytes(std::span<const uint8_t> bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

bool OutputFile::close() {
    if (!file_) return true;
    const bool flushed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed;
}

}  // namespace terramod
