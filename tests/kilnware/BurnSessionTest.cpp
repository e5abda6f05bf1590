#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

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
    EXPECT_TRUE(burn->lastBurnWasCancelled());
    EXPECT_EQ(burn->lastBurnError(), "cancelled");
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

// Every call says what it came to: a burn began, the panel was cancelled, or nothing will be
// burned and why, in words; a path where nothing stands gives no data track at all.
TEST_F(BurnSession, EveryCallSaysWhatItCameTo) {
    using Kind = VXBurn::CallOutcome::Kind;
    const std::string folder = dir.file("folder");
    std::filesystem::create_directories(folder);
    std::ofstream(dir.file("notes.txt")) << "not audio";
    struct Case {
        std::function<void()> call;
        std::string reason;
    };
    // No layout: the log says so in its own line alone.
    burn->burnLayout(Value(), "Burn Data Disc");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"layout is nil"});
    const Case refusals[] = {
        {[&] { burn->burnLayout(Value(), "Burn Data Disc"); }, "There is nothing to burn."},
        {[&] { burn->burnDataToDisc({}, "X", 0); }, "No files or folders were given."},
        {[&] { burn->burnDataToDisc({folder}, "X", 7); }, "There is no file system 7: 0 is ISO"},
        {[&] { burn->burnDataToDisc({dir.file("gone")}, "X", 1); },
         "The data disc cannot be laid out: " + dir.file("gone") + " does not exist."},
        {[&] { burn->burnToAudioCD({}, nullptr); }, "No audio files were given."},
        {[&] { burn->burnToMp3CD({}, "T", false); }, "No files or folders were given."},
        {[&] { burn->BurnToVideoDVD({}, "T"); }, "No MPEG files were given."},
        {[&] { burn->BurnTsFolderToDVD(std::nullopt, "T"); }, "No DVD-video folder was given."},
        {[&] { burn->BurnTsFolderToDVD(folder, "T"); },
         folder + " is no DVD-video folder: it holds no VIDEO_TS/VIDEO_TS.IFO."},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.reason);
        c.call();
        EXPECT_EQ(burn->lastCall().kind, Kind::Refused);
        EXPECT_TRUE(burn->lastCall().reason.starts_with(c.reason)) << burn->lastCall().reason;
    }
    EXPECT_TRUE(answerer->setupShowings().empty());
    EXPECT_TRUE(notices.entries().empty());
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "track is nil"), 1);

    answerer->cancel();
    burn->burnLayout(aLayout(), "Burn Data Disc");
    EXPECT_EQ(burn->lastCall().kind, Kind::Cancelled);
    answerer->confirmWith(kRecorder);
    burn->burnLayout(aLayout(), "Burn Data Disc");
    EXPECT_EQ(burn->lastCall().kind, Kind::Began);
    waitForBurns(1);
    EXPECT_EQ(burn->lastBurnError(), std::nullopt);

    // A file that gives no track: the panel still runs, and the host can see why while it does;
    // cancelled, the call was refused for that reason, and confirmed, the burn fails with it.
    const std::string why = dir.file("notes.txt") + " is no audio that can be read: ";
    std::optional<std::string> seen;
    answerer->cancel([&](DRSetupPanel&) { seen = burn->layoutProblem(); });
    burn->burnToAudioCD({dir.file("notes.txt")}, nullptr);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(seen->starts_with(why)) << *seen;
    EXPECT_EQ(burn->lastCall().kind, Kind::Refused);
    EXPECT_EQ(burn->lastCall().reason, *seen);
    answerer->confirmWith(kRecorder);
    burn->burnToAudioCD({dir.file("notes.txt")}, nullptr);
    waitForBurns(2);
    EXPECT_EQ(burn->lastBurnError(), seen);
    EXPECT_FALSE(burn->lastBurnWasCancelled());
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
