#include <gtest/gtest.h>

#include <fstream>

#include <kilnware/Kilnware.h>
#include "tests/support/BurnFixture.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

Value aLayout() {
    return Value(std::make_shared<BlankTrack>());
}

using BurnSession = test::BurnTest;

TEST_F(BurnSession, NullLayoutLogsAndShowsNoPanel) {
    burn->burnLayout(Value(), "Burn Data Disc");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"layout is nil"});
    EXPECT_TRUE(answerer->setupShowings().empty());
    EXPECT_TRUE(notices.entries().empty());
}

// However the burn ends, the log tells it in order and one notice of the controller says how.
TEST_F(BurnSession, EachEndLogsInOrderAndPostsOneNotice) {
    const std::vector<std::string> said[] = {
        {"Burn Begin", "Burn finished fine", "Sending BurnSucceed notification", "Burn End"},
        {"Burn Begin", "The burn failed (The disc is full.)!", "Sending BurnFailed notification",
         "Burn End"}};
    for (std::size_t failed = 0; failed < 2; ++failed) {
        SCOPED_TRACE(failed);
        log.clear();
        if (failed) {
            // A failed burn removes nothing, not even the controller's own video image.
            std::ofstream(dir.file("video.iso")) << "image";
            burn->fm = std::make_shared<FileManager>();
            burn->isoPath = dir.file("video.iso");
            recorder->failNextBurn("The disc is full.");
        }
        answerer->confirmWith(kRecorder);
        burn->burnLayout(aLayout(), "Burn Data Disc");
        waitForBurns(failed + 1);
        EXPECT_EQ(log.lines(), said[failed]);
        const auto notice = notices.entries().back();
        EXPECT_EQ(notice.name, failed ? "BurnFailed" : "BurnSucceed");
        EXPECT_EQ(notice.object.get(), burn.get());
        EXPECT_FALSE(notice.hadUserInfo);
        EXPECT_EQ(answerer->progressShowings().at(failed).description, "Burn Data Disc");
    }
    EXPECT_EQ(recorder->burns().size(), 2u);
    EXPECT_TRUE(FileManager::defaultManager()->fileExistsAtPath(dir.file("video.iso")));
    // The delegate answers NO, so the panel presents the result itself.
    EXPECT_TRUE(answerer->progressShowings().at(0).presentedResult.has_value());
}

TEST_F(BurnSession, BurningFlagFollowsTheProgressPanel) {
    EXPECT_FALSE(burn->burning);
    answerer->confirmWith("Scripted CD-R");
    recorder->setOperationDuration(std::chrono::hours(24));  // ends only when cancelled
    answerer->cancelProgressAfter(1);
    burn->burnLayout(aLayout(), "Burn Data Disc");
    EXPECT_FALSE(burn->burning);  // the panel begins on the run loop
    ASSERT_TRUE(runUntil([&] { return burn->burning; }));
    EXPECT_EQ(notices.entries().size(), 0u);
    ASSERT_TRUE(runUntil([&] { return notices.entries().size() == 1; }));
    ASSERT_TRUE(runUntil([&] { return !burn->burning; }));
    EXPECT_EQ(log.lines().at(1), "The burn failed (cancelled)!");
}

TEST_F(BurnSession, MediaPolicyAcceptsOnlyCDRAndCDRW) {
    ScopedRecorder cdrw("CD-RW drive", ScriptedMedium::blankCDRW());
    ScopedRecorder dvd("DVD drive", ScriptedMedium::blankDVDR());
    ScopedRecorder empty("Empty drive", ScriptedMedium::none());
    // A refused recorder cannot be confirmed: that panel ends cancelled.
    answerer->confirmWith("DVD drive");
    burn->burnLayout(aLayout(), "Burn Video DVD");
    answerer->cancel();
    burn->erase();
    RunLoop::current()->runUntilIdle();
    EXPECT_TRUE(answerer->progressShowings().empty());
    EXPECT_TRUE(dvd->burns().empty());
    EXPECT_TRUE(notices.entries().empty());

    auto showings = answerer->setupShowings();
    ASSERT_EQ(showings.size(), 2u);
    for (const auto& showing : showings) {
        ASSERT_EQ(showing.choices.size(), 4u);
        for (const auto& choice : showing.choices) {
            EXPECT_TRUE(choice.couldBeTarget);
            const std::string name = choice.device->displayName();
            const bool cd = name == kRecorder || name == "CD-RW drive";
            EXPECT_EQ(choice.suitableMedia, cd) << name;
            EXPECT_EQ(choice.prompt,
                      cd ? std::nullopt : std::optional<std::string>("That's not a writable CD!"))
                << name;
        }
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(BurnSession, ControllerDestroyedMidBurnHearsNothing) {
    answerer->confirmWith(kRecorder);
    burn->burnLayout(aLayout(), "Burn Data Disc");
    burn.reset();
    ASSERT_TRUE(runUntil([&] {
        auto shown = answerer->progressShowings();
        return !shown.empty() && shown.back().closed;
    }));
    EXPECT_TRUE(notices.entries().empty());
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace kilnware
