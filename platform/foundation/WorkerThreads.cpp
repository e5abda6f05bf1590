#include "platform/foundation/WorkerThreads.h"

#include <algorithm>
#include <iterator>

namespace kilnware::platform {

void WorkerThreads::start(std::function<void()> work) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), finished] {
        work();
        finished->store(true);
    });
    std::vector<Worker> ended;
    {
        std::lock_guard lock(mutex_);
        auto done = std::stable_partition(workers_.begin(), workers_.end(),
                                          [](const Worker& w) { return !w.finished->load(); });
        std::move(done, workers_.end(), std::back_inserter(ended));
        workers_.erase(done, workers_.end());
        workers_.push_back(Worker{std::move(thread), std::move(finished)});
    }
    join(ended);
}

void WorkerThreads::waitForAll() {
    std::vector<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    join(workers);
}

void WorkerThreads::join(std::vector<Worker>& workers) {
    for (Worker& worker : workers) {
        if (worker.thread.get_id() == std::this_thread::get_id()) {
            worker.thread.detach();
        } else {
            worker.thread.join();
        }
    }
}

}  // namespace kilnware::platform
