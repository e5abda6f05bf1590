#include "WriteBehind.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>

namespace kilnware::standins {

namespace {

constexpr auto kLookInterval = std::chrono::milliseconds(20);
constexpr off_t kStep = 8 << 20;

}  // namespace

WriteBehind::WriteBehind(int fd) : fd_(fd) {
    thread_.start([this] { run(); });
}

WriteBehind::~WriteBehind() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.waitForAll();
}

void WriteBehind::run() {
    off_t from = 0;
    std::unique_lock lock(mutex_);
    while (!stop_.wait_for(lock, kLookInterval, [this] { return stopping_; })) {
        lock.unlock();
        struct stat info {};
        if (::fstat(fd_, &info) != 0) {
            return;
        }
        // Errors are not ours to report here: they show in the flush that follows.
        if (info.st_size - from >= kStep) {
            ::sync_file_range(fd_, from, info.st_size - from, SYNC_FILE_RANGE_WRITE);
            from = info.st_size;
        }
        lock.lock();
    }
}

}  // namespace kilnware::standins
