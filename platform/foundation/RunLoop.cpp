#include <kilnware/platform/foundation/RunLoop.h>

#include <sys/eventfd.h>

#include <cstdint>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform {

namespace {
std::shared_ptr<RunLoop>& mainLoop() {
    static std::shared_ptr<RunLoop> loop;
    return loop;
}
std::mutex& mainLoopMutex() {
    static std::mutex mutex;
    return mutex;
}
}  // namespace

RunLoop::RunLoop() : thread_(std::this_thread::get_id()) {}

RunLoop::~RunLoop() = default;

std::shared_ptr<RunLoop> RunLoop::current() {
    // Private constructor: make_shared cannot reach it.
    thread_local std::shared_ptr<RunLoop> loop(new RunLoop());
    {
        std::lock_guard lock(mainLoopMutex());
        if (!mainLoop()) {
            mainLoop() = loop;
        }
    }
    return loop;
}

std::shared_ptr<RunLoop> RunLoop::main() {
    {
        std::lock_guard lock(mainLoopMutex());
        if (mainLoop()) {
            return mainLoop();
        }
    }
    return current();
}

bool RunLoop::isCurrent() const {
    return thread_ == std::this_thread::get_id();
}

void RunLoop::post(Work work) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
        signalReady();
    }
    wake_.notify_one();
}

RunLoop::TimerId RunLoop::addTimer(Clock::duration delay, Work work, bool repeats) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        timers_.emplace(id, Timer{delay, std::move(work), repeats});
        schedule_.emplace(Clock::now() + delay, id);
        signalReady();
    }
    wake_.notify_one();
    return id;
}

void RunLoop::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);  // its entry in the schedule is dropped when it comes due
}

bool RunLoop::runOne(Clock::time_point deadline) {
    Work work;
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!queue_.empty()) {
                work = std::move(queue_.front());
                queue_.pop_front();
                break;
            }
            auto now = Clock::now();
            if (!schedule_.empty() && schedule_.begin()->first <= now) {
                auto [when, id] = *schedule_.begin();
                schedule_.erase(schedule_.begin());
                auto timer = timers_.find(id);
                if (timer == timers_.end()) {
                    continue;  // cancelled
                }
                work = timer->second.work;
                if (timer->second.repeats) {
                    schedule_.emplace(now + timer->second.interval, id);
                } else {
                    timers_.erase(timer);
                }
                break;
            }
            if (stopRequested_ || now >= deadline) {
                return false;
            }
            auto wakeAt = deadline;
            if (!schedule_.empty() && schedule_.begin()->first < wakeAt) {
                wakeAt = schedule_.begin()->first;
            }
            if (wakeAt == Clock::time_point::max()) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, wakeAt);
            }
        }
    }
    work();
    return true;
}

void RunLoop::run() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_) {
                stopRequested_ = false;
                return;
            }
        }
        runOne(Clock::time_point::max());
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (!runOne(deadline) && Clock::now() >= deadline) {
            return done();
        }
        std::lock_guard lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            break;
        }
    }
    return done();
}

void RunLoop::runUntilIdle() {
    while (runOne(Clock::now())) {
    }
}

void RunLoop::signalReady() {
    if (ready_) {
        const std::uint64_t one = 1;
        // Only a counter at its limit refuses, and it is readable then anyway.
        [[maybe_unused]] const ssize_t written = ::write(ready_->get(), &one, sizeof one);
    }
}

int RunLoop::readyDescriptor() {
    std::lock_guard lock(mutex_);
    if (!ready_) {
        ready_ = std::make_unique<UniqueFd>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!queue_.empty() || !schedule_.empty()) {
            signalReady();  // work that was there before the host watched
        }
    }
    return ready_->get();
}

std::optional<RunLoop::Clock::time_point> RunLoop::runReady() {
    runUntilIdle();
    std::lock_guard lock(mutex_);
    if (ready_ && queue_.empty()) {
        // Cleared once nothing waits: what is posted from here on makes it readable again.
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(ready_->get(), &count, sizeof count);
    }
    for (const auto& [when, id] : schedule_) {
        if (timers_.count(id) != 0) {
            return when;
        }
    }
    return std::nullopt;
}

void RunLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

}  // namespace kilnware::platform
