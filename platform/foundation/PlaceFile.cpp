#include "platform/foundation/PlaceFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kilnware::platform {

int placeWithoutReplacing(const std::string& from, const std::string& to) {
    return placeWithoutReplacing(AT_FDCWD, from, AT_FDCWD, to);
}

int placeWithoutReplacing(int fromFolder, const std::string& from, int toFolder,
                          const std::string& to) {
    if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    if (::linkat(fromFolder, from.c_str(), toFolder, to.c_str(), 0) == 0) {
        ::unlinkat(fromFolder, from.c_str(), 0);
        return 0;
    }
    if (errno == EEXIST) {
        return errno;
    }
    struct stat st {};
    if (::fstatat(toFolder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return EEXIST;
    }
    return ::renameat(fromFolder, from.c_str(), toFolder, to.c_str()) == 0 ? 0 : errno;
}

int linkWithoutReplacing(int fd, int folder, const std::string& name) {
    // The file through its descriptor, never whatever a path leads to by now. /proc's link works
    // for anyone; AT_EMPTY_PATH, where /proc is not mounted, needs the privilege to read any file.
    const std::string opened = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, opened.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0) {
        return errno;
    }
    return ::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

}  // namespace kilnware::platform
