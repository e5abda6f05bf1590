#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include <kilnware/platform/foundation/RunLoop.h>

namespace kilnware::platform {
namespace {

using namespace std::chrono_literals;

TEST(RunLoop, RunsWorkFromOtherThreadsInPostingOrderOnItsOwnThread) {
    auto loop = RunLoop::current();
    std::vector<int> seen;
    std::atomic<bool> wrongThread{false};
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                loop->post([&, t, i] {
                    if (!loop->isCurrent()) {
                        wrongThread = true;
                    }
                    seen.push_back(t * kPerThread + i);
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    loop->runUntilIdle();
    ASSERT_EQ(seen.size(), 2u * kPerThread);
    EXPECT_FALSE(wrongThread);
    // Each thread's work keeps its own order.
    int last[2] = {-1, -1};
    for (int v : seen) {
        int t = v / kPerThread;
        EXPECT_GT(v, last[t]);
        last[t] = v;
    }
}

TEST(RunLoop, TimersFireByTheirDeadlinesAndCanBeCancelled) {
    auto loop = RunLoop::current();
    std::vector<int> fired;
    // Added first, due last; however slow the machine, the others are due before it.
    const auto later = loop->addTimer(1h, [&] { fired.push_back(99); });
    const auto cancelled = loop->addTimer(1ms, [&] { fired.push_back(98); });
    loop->addTimer(1ms, [&] { fired.push_back(1); });
    loop->addTimer(2ms, [&] { fired.push_back(2); });
    loop->cancelTimer(cancelled);
    EXPECT_TRUE(loop->runUntil([&] { return fired.size() == 2; }, 5s));
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    loop->cancelTimer(later);

    int ticks = 0;
    RunLoop::TimerId repeating = 0;
    repeating = loop->addTimer(
        1ms,
        [&] {
            if (++ticks == 3) {
                loop->cancelTimer(repeating);
            }
        },
        true);
    EXPECT_TRUE(loop->runUntil([&] { return ticks == 3; }, 5s));
}

TEST(RunLoop, StopFromAnotherThreadEndsRun) {
    auto loop = RunLoop::current();
    bool ran = false;
    std::thread stopper([&] {
        loop->post([&] { ran = true; });
        loop->stop();
    });
    loop->run();
    stopper.join();
    loop->runUntilIdle();
    EXPECT_TRUE(ran);
}

TEST(RunLoop, RunUntilIdleIncludesWorkPostedByWorkAndRunUntilGivesUpAtItsTimeout) {
    auto loop = RunLoop::current();
    int count = 0;
    loop->post([&] {
        ++count;
        loop->post([&] { ++count; });
    });
    loop->runUntilIdle();
    EXPECT_EQ(count, 2);
    EXPECT_FALSE(loop->runUntil([] { return false; }, 10ms));
}

// Whether the descriptor is readable within `timeoutMs` (-1: however long it takes).
bool readable(int fd, int timeoutMs) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, timeoutMs) == 1;
}

TEST(RunLoop, AHostsEventLoopDrivesItThroughItsReadyDescriptor) {
    // On a thread of its own, as a host's library thread: a loop that nothing else has touched.
    std::thread host([] {
        auto loop = RunLoop::current();
        loop->post([] {});  // posted before anyone watched
        const int fd = loop->readyDescriptor();
        ASSERT_TRUE(readable(fd, 0));
        EXPECT_EQ(loop->runReady(), std::nullopt);
        EXPECT_FALSE(readable(fd, 0));

        // Work from another thread wakes the host; work that work posts runs in the same call.
        int count = 0;
        std::thread poster([&] {
            loop->post([&] {
                ++count;
                loop->post([&] { ++count; });
            });
        });
        EXPECT_TRUE(readable(fd, -1));
        poster.join();
        EXPECT_EQ(loop->runReady(), std::nullopt);
        EXPECT_EQ(count, 2);
        EXPECT_FALSE(readable(fd, 0));

        // A timer wakes the host to learn its deadline; the host waits until then and runs it.
        const auto before = RunLoop::Clock::now();
        const auto far = loop->addTimer(1h, [] {});
        EXPECT_TRUE(readable(fd, 0));
        const auto due = loop->runReady();
        ASSERT_TRUE(due.has_value());
        EXPECT_GE(*due, before + 1h);
        bool fired = false;
        loop->addTimer(1ms, [&] { fired = true; });
        for (auto next = loop->runReady(); !fired; next = loop->runReady()) {
            ASSERT_TRUE(next.has_value());
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(*next - RunLoop::Clock::now());
            readable(fd, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
        }
        loop->cancelTimer(far);
        EXPECT_EQ(loop->runReady(), std::nullopt);

        // A modal panel's event loop inside the work runs what is posted meanwhile.
        bool inner = false;
        loop->post([&] {
            loop->post([&] { inner = true; });
            EXPECT_TRUE(readable(fd, 0));
            loop->runReady();
            EXPECT_TRUE(inner);
        });
        loop->runReady();
        EXPECT_TRUE(inner);
    });
    host.join();
}

}  // namespace
}  // namespace kilnware::platform
