#include "io/output_file.h"

namespace terramod {

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::open() {
    file_ = std::fopen(name_.c_str(), "wb");
    return file_ != nullptr;
}

bool OutputFile::write_samples(std::span<const uint8_t> bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

bool OutputFile::close() {
    if (!file_) return true;
    const bool flushed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed;
}

}  // namespace terramod
