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

class BurnSession : public test::BurnTest {
protected:
    // Confirms the setup panel with the recorder and waits for the burn to end.
    void burnAndWait(const Value& layout, const std::string& description = "Test Burn") {
        answerer->confirmWith(kRecorder);
        burn->burnLayout(layout, description);
        waitForBurns();
    }
};

TEST_F(BurnSession, NullLayoutLogsAndShowsNoPanel) {
    burn->burnLayout(Value(), "Burn Data Disc");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"layout is nil"});
    EXPECT_TRUE(answerer->setupShowings().empty());
    EXPECT_TRUE(notices.entries().empty());
}

TEST_F(BurnSession, SuccessLogsInOrderAndPostsBurnSucceedOnce) {
    burnAndWait(aLayout(), "Burn Data Disc");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Burn Begin", "Burn finished fine",
                                        "Sending BurnSucceed notification", "Burn End"}));
    auto entries = notices.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "BurnSucceed");
    EXPECT_EQ(entries[0].object.get(), burn.get());
    EXPECT_FALSE(entries[0].hadUserInfo);
    ASSERT_EQ(recorder->burns().size(), 1u);
    EXPECT_FALSE(burn->fm);  // a controller without video files removes nothing
    EXPECT_EQ(answerer->progressShowings().at(0).description, "Burn Data Disc");
    // The delegate answers NO, so the panel presents the result itself.
    EXPECT_TRUE(answerer->progressShowings().at(0).presentedResult.has_value());
}

TEST_F(BurnSession, FailureLogsTheEngineTextAndRemovesNothing) {
    std::ofstream(dir.file("video.iso")) << "image";
    burn->fm = std::make_shared<FileManager>();
    burn->isoPath = dir.file("video.iso");
    recorder->failNextBurn("The disc is full.");
    burnAndWait(aLayout());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Burn Begin", "The burn failed (The disc is full.)!",
                                        "Sending BurnFailed notification", "Burn End"}));
    ASSERT_EQ(notices.count("BurnFailed"), 1u);
    EXPECT_EQ(notices.entries()[0].object.get(), burn.get());
    EXPECT_EQ(notices.count("BurnSucceed"), 0u);
    EXPECT_TRUE(FileManager::defaultManager()->fileExistsAtPath(dir.file("video.iso")));
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
