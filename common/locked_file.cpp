#include "common/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace terramod {

namespace {

// Opens `path` with `flags` and locks a regular file; emptied when
// `truncate`, else *size gets its length. -1 with the reason on failure.
int open_locked(const std::string& path, int flags, bool truncate, LockedOpenResult& result,
                uint64_t* size) {
    result = LockedOpenResult::kCannotCreate;
    const int descriptor = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) return -1;
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            const bool in_use = errno == EWOULDBLOCK;
            ::close(descriptor);
            if (in_use) result = LockedOpenResult::kInUse;
            return -1;
        }
        if (truncate && ::ftruncate(descriptor, 0) != 0) {
            ::close(descriptor);
            return -1;
        }
        // The length once locked: another run may have written before.
        if (!truncate && ::fstat(descriptor, &status) != 0) {
            ::close(descriptor);
            return -1;
        }
    }
    if (size) *size = S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
    return descriptor;
}

std::FILE* as_stream(int descriptor, const char* mode, LockedOpenResult& result) {
    if (descriptor < 0) return nullptr;
    std::FILE* file = ::fdopen(descriptor, mode);
    if (!file) {
        ::close(descriptor);
        return nullptr;
    }
    result = LockedOpenResult::kOpened;
    return file;
}

}  // namespace

std::FILE* open_locked_for_writing(const std::string& path, const char* mode,
                                   LockedOpenResult& result) {
    return as_stream(open_locked(path, O_WRONLY, true, result, nullptr), mode, result);
}

std::FILE* open_locked_for_appending(const std::string& path, LockedOpenResult& result,
                                     uint64_t* size) {
    return as_stream(open_locked(path, O_WRONLY | O_APPEND, false, result, size), "a", result);
}

bool locked_by_another(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) return false;
    struct stat status {};
    bool locked = false;
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        // A shared lock conflicts with the exclusive one a writing run holds;
        // it goes with the descriptor.
        locked = ::flock(descriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }
    ::close(descriptor);
    return locked;
}

}  // namespace terramod
