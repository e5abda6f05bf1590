#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <kilnware/Export.h>

namespace kilnware::platform {

class UniqueFd;

// A thread's run loop. Work posted from any thread runs on the loop's own thread, in the order it
// was posted, while that thread runs the loop. Engines report back to the library only this way.
class KILNWARE_EXPORT RunLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Work = std::function<void()>;
    using TimerId = std::uint64_t;

    // The calling thread's loop, made on first use.
    static std::shared_ptr<RunLoop> current();
    // The loop of the thread that first asked for it: the host's main thread.
    static std::shared_ptr<RunLoop> main();

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    ~RunLoop();

    // Thread-safe.
    void post(Work work);
    // Runs `work` once after `delay`, or every `delay` when `repeats`. Thread-safe.
    TimerId addTimer(Clock::duration delay, Work work, bool repeats = false);
    void cancelTimer(TimerId id);

    // Runs posted work and due timers until `stop` is called. Only on the loop's own thread.
    void run();
    // Runs until `done()` holds (checked after each piece of work) or `timeout` has passed.
    // Returns whether `done()` held.
    bool runUntil(const std::function<bool()>& done,
                  Clock::duration timeout = std::chrono::hours(24 * 365));
    // Runs everything that is ready, including work that this work posts, then returns.
    // Timers that are not yet due are left waiting.
    void runUntilIdle();
    // Makes the innermost `run` return after the work in hand. Thread-safe.
    void stop();

    // For a host whose own event loop runs on the loop's thread (a toolkit's main loop, say), so
    // that the library's work runs there without polling: a descriptor that becomes readable
    // whenever work is posted or a timer is added. Watch it for reading and call `runReady` when
    // it is; `runReady` also when the time it returned has come. The loop owns the descriptor
    // (made on the first call, closed with the loop); never read or close it yourself.
    int readyDescriptor();
    // Runs everything that is ready, as `runUntilIdle` does, then clears the descriptor, and
    // returns when the next timer is due (none when no timer waits). Only on the loop's own thread;
    // it may be called again from inside the work it runs (a modal panel's own event loop).
    std::optional<Clock::time_point> runReady();

    bool isCurrent() const;

private:
    RunLoop();
    struct Timer {
        Clock::duration interval;
        Work work;
        bool repeats;
    };
    // Runs one piece of ready work, waiting until `deadline` for some. False when none came.
    bool runOne(Clock::time_point deadline);
    // Makes the ready descriptor readable, if a host watches it. Under `mutex_`.
    void signalReady();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> queue_;
    std::multimap<Clock::time_point, TimerId> schedule_;
    std::map<TimerId, Timer> timers_;
    TimerId nextTimer_ = 1;
    bool stopRequested_ = false;
    std::thread::id thread_;
    std::unique_ptr<UniqueFd> ready_;  // an eventfd, once a host asked for it
};

}  // namespace kilnware::platform
