#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kilnware::platform {

// The threads an object starts for its work and must not outlive. Each thread runs one piece of
// work; threads that have ended are joined whenever a new one starts, so a long-lived recorder
// keeps no dead threads. waitForAll() (and the destructor) joins the rest; a thread that ends up
// there itself, having dropped the last owner of the object, is detached, as it cannot wait for
// itself.
class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads() { waitForAll(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    void start(std::function<void()> work);
    void waitForAll();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    static void join(std::vector<Worker>& workers);

    std::mutex mutex_;
    std::vector<Worker> workers_;
};

}  // namespace kilnware::platform
