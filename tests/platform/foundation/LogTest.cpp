#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <string>
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
        // A call under way when removeSink returns would see `removed` at its end.
        Log::SinkId id = Log::addSink([&, removed](std::string_view) {
            std::this_thread::yield();
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

// A sink that takes its time holds up only the thread whose line it takes, and a standard error
// that nobody reads holds up no one: a burn's thread logs on. (Were either to stall, the test
// would hang until ctest ends it.)
TEST(Log, NeitherASlowSinkNorAFullStandardErrorHoldsUpAnotherThread) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> holding;
    test::LogCapture capture;
    const Log::SinkId slow = Log::addSink([&](std::string_view line) {
        if (line == "hold") {
            holding.set_value();
            released.wait();
        }
    });
    std::thread held([] { Log::write("hold"); });
    holding.get_future().wait();
    Log::write("meanwhile");
    EXPECT_EQ(capture.lines(), (Lines{"hold", "meanwhile"}));

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(ends[1], STDERR_FILENO);
    Log::setStandardErrorEnabled(true);
    const std::string line(100, 'x');
    for (int i = 0; i < 2000; ++i) {  // three times what the pipe holds
        Log::write(line);
    }
    Log::write("last");
    Log::setStandardErrorEnabled(false);
    std::string read;
    char buffer[65536];
    while (read.find("last\n") == std::string::npos) {
        const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        read.append(buffer, static_cast<std::size_t>(n));
    }
    ::dup2(saved, STDERR_FILENO);
    for (int fd : {saved, ends[0], ends[1]}) {
        ::close(fd);
    }
    EXPECT_EQ(read.size(), 2000 * (line.size() + 1) + 5);  // every line, whole and in order

    release.set_value();
    held.join();
    Log::removeSink(slow);
}

// Lines still on their way to standard error when the process exits are written before it ends.
TEST(LogDeathTest, NoLineIsLostAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Log::setSystemLogEnabled(false);
            Log::setStandardErrorEnabled(true);
            for (int i = 0; i < 5000; ++i) {
                Log::write("line %@ of the last ones", {std::to_string(i)});
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "line 4999 of the last ones\n$");
}

}  // namespace
}  // namespace kilnware::platform
