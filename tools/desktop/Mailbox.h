#pragma once

#include <deque>
#include <functional>
#include <mutex>

class QSocketNotifier;

namespace kilnware::desktop {

// Work handed from one thread to another: any thread posts, the thread that opened the mailbox
// runs each job in order, from its Qt event loop (nested ones too).
//
// The hand-over is a mutex and an eventfd rather than Qt's queued calls, whose futex-based locks
// ThreadSanitizer cannot see: with these, the tests of the two threads' meeting points see real
// races only.
class Mailbox {
public:
    Mailbox();
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // Runs the jobs on the calling thread from now on: jobs posted earlier run at its next turn.
    void open();
    // Stops running jobs; on the thread that opened it, a job of its own may call it.
    void close();
    void post(std::function<void()> job);

private:
    void runWaiting();

    int wake_;  // an eventfd, written once per job
    std::mutex lock_;
    std::deque<std::function<void()>> jobs_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kilnware::desktop
