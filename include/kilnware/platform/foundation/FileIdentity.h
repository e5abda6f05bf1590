#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <optional>

namespace kilnware::platform {

// Which file a reader has and in what state: its device and inode, its size and its modification
// and change times to the nanosecond. A file written in place keeps its inode but changes its
// times (a rewrite that puts the old modification time back still changes the inode's change
// time); a file put in its place is another inode. A reader that finds the same identity after its
// last byte as when it opened the file has read that file, unchanged.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    timespec modified{};
    timespec changed{};

    // The identity of what stands at `info`; of a regular file only.
    static std::optional<FileIdentity> of(const struct stat& info) {
        if (!S_ISREG(info.st_mode)) {
            return std::nullopt;
        }
        return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                            static_cast<std::uint64_t>(info.st_ino),
                            static_cast<std::uint64_t>(info.st_size), info.st_mtim, info.st_ctim};
    }
    // The identity of the regular file open at `fd`; none for anything else, or a closed fd.
    static std::optional<FileIdentity> of(int fd) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            return std::nullopt;
        }
        return of(info);
    }

    friend bool operator==(const FileIdentity& a, const FileIdentity& b) {
        return a.device == b.device && a.inode == b.inode && a.size == b.size &&
               a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
               a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
    }
};

}  // namespace kilnware::platform
