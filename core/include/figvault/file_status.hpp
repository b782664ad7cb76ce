// The status of a file as the C++ code reads it: identity, kind and mode,
// owner, link count and size.
//
// Read with statx(2), which glibc has provided since 2.28. The stat family
// gained new symbol versions in glibc 2.33: calling it would make the
// modules, and the wheels built from them, need that newer glibc.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

namespace figvault {

struct FileStatus {
    std::uint32_t device_major = 0;
    std::uint32_t device_minor = 0;
    std::uint64_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    nlink_t links = 0;
    off_t size = 0;

    bool same_file_as(const FileStatus& other) const {
        return inode == other.inode && device_major == other.device_major && device_minor == other.device_minor;
    }
};

// `path` relative to the folder descriptor `folder` (AT_FDCWD: the working
// directory), with fstatat's `flags` (AT_SYMLINK_NOFOLLOW, AT_EMPTY_PATH).
// False, with errno set, when the status cannot be read.
inline bool read_file_status(int folder, const char* path, int flags, FileStatus& status) {
    struct statx found;
    constexpr unsigned kFields = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_SIZE;
    if (::statx(folder, path, flags, kFields, &found) != 0) return false;
    status.device_major = found.stx_dev_major;
    status.device_minor = found.stx_dev_minor;
    status.inode = found.stx_ino;
    status.mode = found.stx_mode;
    status.owner = found.stx_uid;
    status.links = found.stx_nlink;
    status.size = static_cast<off_t>(found.stx_size);
    return true;
}

// The status of an open descriptor (fstat).
inline bool read_file_status(int fd, FileStatus& status) { return read_file_status(fd, "", AT_EMPTY_PATH, status); }

}  // namespace figvault
