#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

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
    void run(const std::stop_token& stop);

    int fd_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;  // last: it uses the members above
};

}  // namespace kilnware::standins
