#include <gtest/gtest.h>

#include <thread>

#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

using test::ScopedRecorder;

struct Heard {
    std::string name;
    std::shared_ptr<Object> device;
    std::thread::id thread;
};

TEST(DeviceNotices, ArriveOnTheSubscribersRunLoopWithTheDevice) {
    std::mutex mutex;
    std::vector<Heard> heard;
    std::shared_ptr<RunLoop> loop;
    std::shared_ptr<ScriptableRecorder> recorder = ScriptableRecorder::create("Drive");
    std::thread::id subscriber;
    int observer = 0;
    std::atomic<bool> subscribed{false};
    std::thread thread([&] {
        subscriber = std::this_thread::get_id();
        loop = RunLoop::current();
        DRNotificationCenter::currentRunLoopCenter()->addObserver(
            &observer, std::nullopt, nullptr, [&](const Notification& notice) {
                std::lock_guard lock(mutex);
                heard.push_back({notice.name, notice.object, std::this_thread::get_id()});
                if (notice.name == DRDeviceDisappearedNotification) {
                    loop->stop();
                }
            });
        subscribed = true;
        loop->run();
        DRNotificationCenter::currentRunLoopCenter()->removeObserver(&observer);
    });
    while (!subscribed) {
        std::this_thread::yield();
    }
    recorder->appear();  // announced from this thread, heard on the other
    recorder->setBusy(true);
    recorder->disappear();
    thread.join();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].name, DRDeviceAppearedNotification);
    EXPECT_EQ(heard[1].name, DRDeviceStatusChangedNotification);
    EXPECT_EQ(heard[2].name, DRDeviceDisappearedNotification);
    for (const auto& h : heard) {
        EXPECT_EQ(h.device, recorder);
        EXPECT_EQ(h.thread, subscriber);
    }
}

TEST(DeviceNotices, NewObserversHearOfRecordersAlreadyThere) {
    ScopedRecorder first("First");
    ScopedRecorder second("Second");
    auto center = DRNotificationCenter::currentRunLoopCenter();
    std::vector<std::string> heard;
    int observer = 0;
    center->addObserver(
        &observer, std::string(DRDeviceAppearedNotification), nullptr,
        [&](const Notification& n) { heard.push_back(n.objectAs<DRDevice>()->displayName()); });
    center->addObserver(&observer, std::string(DRDeviceStatusChangedNotification),
                        second.get().get(), [&](const Notification& n) {
                            heard.push_back("status " + n.objectAs<DRDevice>()->displayName());
                        });
    EXPECT_TRUE(heard.empty());  // later, on the run loop
    RunLoop::current()->runUntilIdle();
    EXPECT_EQ(heard, (std::vector<std::string>{"First", "Second", "status Second"}));

    // Withdrawn before the loop delivers: nothing arrives.
    first->setBusy(true);
    second->setBusy(true);
    center->removeObserver(&observer);
    RunLoop::current()->runUntilIdle();
    EXPECT_EQ(heard.size(), 3u);
}

}  // namespace
}  // namespace kilnware::platform
