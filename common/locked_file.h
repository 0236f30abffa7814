// Files written by one run only: an exclusive advisory lock is taken on a
// stored file before it is emptied, so two runs writing the same name cannot
// mix their data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace terramod {

enum class LockedOpenResult { kOpened, kCannotCreate, kInUse };

// Creates or opens `path` for writing with stdio `mode` ("w" or "wb"). A
// regular file is locked (flock, exclusive, without waiting) and only then
// truncated; a device or FIFO is opened as it is. Returns null with the
// reason when the file cannot be created or another process holds its lock.
std::FILE* open_locked_for_writing(const std::string& path, const char* mode,
                                   LockedOpenResult& result);

// The same lock on `path` opened for appending (created when missing, never
// truncated); *size gets the length it already has.
std::FILE* open_locked_for_appending(const std::string& path, LockedOpenResult& result,
                                     uint64_t* size);

// Whether another open file holds the lock of the regular file `path` (false
// when there is no such file).
bool locked_by_another(const std::string& path);

}  // namespace terramod
