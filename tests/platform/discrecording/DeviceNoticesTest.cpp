#include <gtest/gtest.h>

#include <thread>

#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

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

}  // namespace
}  // namespace kilnware::platform
