#include "platform/foundation/Folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kilnware::platform {

UniqueFd openFolderOnce(const std::string& path) {
    char resolved[PATH_MAX];
    UniqueFd folder;
    if (::realpath(path.c_str(), resolved)) {
        folder.reset(::open(resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!folder) {
        return folder;
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(folder.get(), &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        folder.reset();
        errno = ESTALE;
    }
    return folder;
}

std::vector<std::string> namesIn(int folder) {
    std::vector<std::string> names;
    UniqueFd copy(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = copy ? ::fdopendir(copy.get()) : nullptr;
    if (!listing) {
        return names;
    }
    copy.release();  // the listing owns it now
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

UniqueFd openFolderIn(int parent, const std::string& name) {
    return UniqueFd(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool removeFolderContent(int folder) {
    int failure = 0;
    for (const std::string& name : namesIn(folder)) {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            failure = errno;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            UniqueFd child = openFolderIn(folder, name);
            if (!child || !removeFolderContent(child.get()) ||
                ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) {
                failure = errno;
            }
        } else if (::unlinkat(folder, name.c_str(), 0) != 0) {
            failure = errno;
        }
    }
    errno = failure;
    return failure == 0;
}

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace kilnware::platform
