#include "common/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace terramod {

std::FILE* open_locked_for_writing(const std::string& path, const char* mode,
                                   LockedOpenResult& result) {
    result = LockedOpenResult::kCannotCreate;
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) return nullptr;
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            const bool in_use = errno == EWOULDBLOCK;
            ::close(descriptor);
            if (in_use) result = LockedOpenResult::kInUse;
            return nullptr;
        }
        if (::ftruncate(descriptor, 0) != 0) {
            ::close(descriptor);
            return nullptr;
        }
    }
    std::FILE* file = ::fdopen(descriptor, mode);
    if (!file) {
        ::close(descriptor);
        return nullptr;
    }
    result = LockedOpenResult::kOpened;
    return file;
}

}  // namespace terramod
