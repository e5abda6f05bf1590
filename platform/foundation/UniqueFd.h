#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kilnware::platform {

// The one owner of a file descriptor in the project: closes it when it goes, unless released.
// `close()` reports what the system said, for the places where a late write error matters.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Closes now; 0, or the errno of a failed close. Linux releases the descriptor even when close
    // reports EINTR, so it is never retried.
    int close() {
        const int fd = std::exchange(fd_, -1);
        if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
            return errno;
        }
        return 0;
    }

private:
    int fd_ = -1;
};

}  // namespace kilnware::platform
