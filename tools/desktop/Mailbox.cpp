#include "Mailbox.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace kilnware::desktop {

Mailbox::Mailbox() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

Mailbox::~Mailbox() {
    delete notifier_;  // opened and never closed: on this thread
    ::close(wake_);
}

void Mailbox::open() {
    close();
    notifier_ = new QSocketNotifier(wake_, QSocketNotifier::Read);
    // Jobs posted before left their wakes in the counter: the notifier sees them at once.
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { runWaiting(); });
}

void Mailbox::close() {
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
}

void Mailbox::post(std::function<void()> job) {
    {
        std::lock_guard hold(lock_);
        jobs_.push_back(std::move(job));
    }
    // Only a full counter (2^64 - 2 wakes unread) makes this fail, and one wake is enough.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
}

void Mailbox::runWaiting() {
    std::uint64_t wakes = 0;
    [[maybe_unused]] const auto read = ::read(wake_, &wakes, sizeof wakes);
    // One job at a time: a job that runs an event loop of its own (a setup panel waiting for its
    // answer) lets the later ones run inside it.
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard hold(lock_);
            if (jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
        if (!notifier_) {
            return;  // closed by that job
        }
    }
}

}  // namespace kilnware::desktop
