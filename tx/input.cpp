#include "tx/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>

namespace terramod {

std::optional<FileIdentity> file_identity(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

TsInput::TsInput(Log& log) : log_(log) {}

TsInput::~TsInput() {
    close();
}

void TsInput::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

std::optional<uint64_t> TsInput::open_input(const std::optional<std::string>& path) {
    if (!path) {
        log_.write(0,
                   "FATAL ERROR: no MPEG-2 file name given.\n"
                   "Try -h for command line parameters help.\n");
        return std::nullopt;
    }
    // Non-blocking, so that a FIFO named as input cannot hang the open; the
    // flag is cleared again once the file is known to be a regular one.
    int descriptor = ::open(path->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        log_.write(0, "FATAL ERROR: Can't find \"%s\"\n", path->c_str());
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        log_.write(0, "FATAL ERROR: \"%s\" is not a regular file\n", path->c_str());
        return std::nullopt;
    }
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags != -1) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    file_ = ::fdopen(descriptor, "rb");
    if (!file_) {
        ::close(descriptor);
        log_.write(0, "FATAL ERROR: Can't find \"%s\"\n", path->c_str());
        return std::nullopt;
    }
    identity_ = FileIdentity{status.st_dev, status.st_ino};

    log_.write(3, "Checking MPEG-2 TS file length ... ");
    // The length is the size the file system records (the status of the very
    // file just opened), 64-bit so that inputs of 2 GiB and more are whole.
    const uint64_t length = static_cast<uint64_t>(status.st_size);
    log_.write(3, "%" PRIu64 " bytes\n", length);
    return length;
}

int32_t TsInput::read_block(uint8_t* block, int32_t length) {
    log_.write(3, "Reading MPEG2-TS file ... ");
    const size_t obtained = file_ ? std::fread(block, 1, static_cast<size_t>(length), file_) : 0;
    const int32_t n = static_cast<int32_t>(obtained);
    log_.write(3, "%d bytes read.\n", n);
    // A short read is not an error, whatever its cause: the block is padded.
    if (n < length) {
        log_.write(3, "MPEG-2 bunch too short! Padding with %d bytes ...", length - n);
        pad_block(block, n, length);
        log_.write(3, " done.\n");
    }
    return length;
}

void pad_block(uint8_t* block, int32_t start, int32_t length) {
    for (int32_t position = start; position < length; ++position)
        block[position] = position % TsInput::kPacketLength == 0 ? TsInput::kSyncByte : 0x00;
}

}  // namespace terramod
