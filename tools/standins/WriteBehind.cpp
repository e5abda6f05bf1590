#include "WriteBehind.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>

namespace kilnware::standins {

namespace {

constexpr auto kLookInterval = std::chrono::milliseconds(20);
constexpr off_t kStep = 8 << 20;

}  // namespace

WriteBehind::WriteBehind(int fd)
    : fd_(fd), thread_([this](const std::stop_token& stop) { run(stop); }) {}

WriteBehind::~WriteBehind() {
    thread_.request_stop();
}

void WriteBehind::run(const std::stop_token& stop) {
    off_t from = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        // Nothing wakes it early but the request to stop.
        (void)wake_.wait_for(lock, stop, kLookInterval, [] { return false; });
        if (stop.stop_requested()) {
            return;
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0) {
            return;
        }
        // Errors are not ours to report here: they show in the flush that follows.
        if (info.st_size - from >= kStep) {
            ::sync_file_range(fd_, from, info.st_size - from, SYNC_FILE_RANGE_WRITE);
            from = info.st_size;
        }
    }
}

}  // namespace kilnware::standins
