#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <kilnware/platform/foundation/Log.h>

#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

using Lines = std::vector<std::string>;

TEST(Log, FormatDescriptionFillsPlaceholdersInOrder) {
    EXPECT_EQ(formatDescription("%@ burned %@ of %@", {"disc", "3", "4"}), "disc burned 3 of 4");
    // Missing arguments leave the placeholder; surplus arguments are dropped.
    EXPECT_EQ(formatDescription("a %@ b %@", {"1"}), "a 1 b %@");
    EXPECT_EQ(formatDescription("plain", {"x", "y"}), "plain");
    // An argument is never read as a format itself, and other % sequences stay as they are.
    EXPECT_EQ(formatDescription("%@%@ %s 100%", {"%@", "%n"}), "%@%n %s 100%");
}

TEST(Log, SinksThatLogOrRemoveThemselvesDoNotLoopOrDeadlock) {
    test::LogCapture capture;
    int calls = 0;
    Log::SinkId id = 0;
    id = Log::addSink([&](std::string_view) {
        ++calls;
        Log::write("from inside a sink");
        Log::removeSink(id);
    });
    Log::write("outside");
    Log::write("again");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(capture.lines(), (Lines{"outside", "again"}));
}

TEST(Log, ARemovedSinkIsNeverCalledWhileOtherThreadsWrite) {
    test::LogCapture capture;
    std::atomic<bool> stop{false};
    std::atomic<bool> lateCall{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&] {
            while (!stop) {
                Log::write("busy");
            }
        });
    }
    // On a busy machine the writers may not have started yet; the race needs them running.
    while (capture.lines().empty()) {
        std::this_thread::yield();
    }
    for (int round = 0; round < 200; ++round) {
        auto removed = std::make_shared<std::atomic<bool>>(false);
        Log::SinkId id = Log::addSink([&, removed](std::string_view) {
            if (*removed) {
                lateCall = true;
            }
        });
        std::this_thread::yield();
        Log::removeSink(id);
        *removed = true;
    }
    stop = true;
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_FALSE(lateCall);
}

}  // namespace
}  // namespace kilnware::platform
