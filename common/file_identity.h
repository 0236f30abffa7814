// Where a file lives on disk, to tell when two names denote one file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace terramod {

// Two names denote the same file exactly when both fields agree.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an existing file, or nothing when `path` names none.
std::optional<FileIdentity> file_identity(const std::string& path);

// The identity of `path` when it is a stored (regular) file, else nothing: a
// device such as /dev/null may serve as several outputs at once.
std::optional<FileIdentity> stored_file_identity(const std::string& path);

// The identity of an open descriptor's file when it is a stored (regular)
// file, else nothing.
std::optional<FileIdentity> stored_descriptor_identity(int descriptor);

}  // namespace terramod
