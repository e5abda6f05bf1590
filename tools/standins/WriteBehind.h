#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/foundation/WorkerThreads.h"

namespace kilnware::standins {

// Starts the disk's writing of a file that another program is writing, a few megabytes at a
// time, without waiting for it: the flush at the end then finds most of the file on the disk
// already, instead of writing all of it after the program is done. The descriptor stays the
// caller's; it must outlive this object.
class WriteBehind {
public:
    explicit WriteBehind(int fd);
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

private:
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    platform::WorkerThreads thread_;  // last: it uses the members above
};

}  // namespace kilnware::standins
