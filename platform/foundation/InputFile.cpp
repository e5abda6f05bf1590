#include "platform/foundation/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kilnware::platform {

UniqueFd openRegularFileAt(int folder, const std::string& name, int flags) {
    // O_NONBLOCK keeps open() from waiting for a FIFO's writer or a device, O_NOCTTY keeps a
    // terminal from becoming the process's own; once the descriptor is known to be a regular
    // file, reads go back to blocking.
    UniqueFd fd(
        ::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return UniqueFd();
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return UniqueFd();
    }
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        return UniqueFd();
    }
    return fd;
}

UniqueFd openRegularFile(const std::string& path) {
    return openRegularFileAt(AT_FDCWD, path);
}

std::string whyNotRegularFile(int error) {
    switch (error) {
        case EISDIR:
            return "it is a folder";
        case EINVAL:
            return "it is not a regular file";
        case ELOOP:
            return "it is a symbolic link";
        default:
            return std::strerror(error);
    }
}

std::optional<std::string> readAtMost(int fd, std::size_t limit) {
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(content.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return content;
        }
        if (static_cast<std::size_t>(n) > limit - content.size()) {
            errno = EFBIG;
            return std::nullopt;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace kilnware::platform
