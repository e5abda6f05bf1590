#include <gtest/gtest.h>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

class EraseSession : public ::testing::Test {
protected:
    ScopedAnswerer answerer;
    ScopedRecorder recorder{"Scripted CD-RW", ScriptedMedium::blankCDRW()};
    LogCapture log;
    NoticeLog notices{{BurnSucceed, BurnFailed}};
    std::shared_ptr<VXBurn> burn = std::make_shared<VXBurn>();

    std::size_t eraseShowings() const {
        std::size_t n = 0;
        for (const auto& showing : answerer->setupShowings()) {
            n += showing.kind == DRSetupPanel::Kind::Erase;
        }
        return n;
    }
    // Runs the loop until every scripted answer is used and every erase panel has closed.
    void settle() {
        ASSERT_TRUE(runUntil([&] {
            auto shown = answerer->progressShowings();
            bool closed = std::all_of(shown.begin(), shown.end(),
                                      [](const auto& showing) { return showing.closed; });
            return answerer->pendingAnswers() == 0 && closed;
        }));
        RunLoop::current()->runUntilIdle();
    }
};

TEST_F(EraseSession, CancelLogsNothingAndKeepsTheRegistration) {
    answerer->cancel();
    burn->erase();
    EXPECT_EQ(eraseShowings(), 1u);
    EXPECT_TRUE(answerer->progressShowings().empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(NotificationCenter::defaultCenter().observationCount(burn.get()), 1u);
}

TEST_F(EraseSession, SuccessLogsAndBringsTheSetupPanelBackUntilCancelled) {
    answerer->confirmWith("Scripted CD-RW");
    answerer->cancel();
    burn->erase();
    settle();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Erase finished fine"});
    EXPECT_EQ(eraseShowings(), 2u);
    EXPECT_EQ(recorder->eraseCount(), 1u);
    // The delegate answers YES: the panel leaves the result to it.
    EXPECT_FALSE(answerer->progressShowings().at(0).presentedResult);
    EXPECT_TRUE(notices.entries().empty());
    EXPECT_FALSE(burn->burning);
}

TEST_F(EraseSession, FailureLogsTheEngineTextAndStillComesBack) {
    recorder->failNextErase("The medium is write-protected.");
    answerer->confirmWith("Scripted CD-RW");
    answerer->cancel();
    burn->erase();
    settle();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"The erase failed (The medium is write-protected.)!"});
    EXPECT_EQ(eraseShowings(), 2u);
    EXPECT_TRUE(notices.entries().empty());
}

TEST_F(EraseSession, FailureWithoutErrorTextSaysUnknownError) {
    recorder->setOperationDuration(std::chrono::hours(24));  // ends only when cancelled
    answerer->cancelProgressAfter(1);
    answerer->confirmWith("Scripted CD-RW");
    answerer->cancel();
    burn->erase();
    settle();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"The erase failed (cancelled)!"});

    // A status whose failure carries no text at all.
    Dictionary failed;
    failed.set(DRStatusStateKey, DRStatusStateFailed);
    auto erase = DRErase::eraseForDevice(recorder.get());
    erase->reportStatus(failed);  // not started: only the status is kept
    log.clear();
    auto panel = DREraseProgressPanel::progressPanel();
    EXPECT_TRUE(burn->eraseDidFinish(*panel, erase));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"The erase failed (unknown error)!"});
}

TEST_F(EraseSession, EachCallOfEraseAddsOneShowingPerClosing) {
    answerer->cancel();
    burn->erase();
    answerer->cancel();
    burn->erase();
    EXPECT_EQ(NotificationCenter::defaultCenter().observationCount(burn.get()), 2u);
    answerer->confirmWith("Scripted CD-RW");
    answerer->cancel();
    answerer->cancel();
    burn->erase();  // third registration; its first showing erases
    settle();
    // 2 cancelled showings + 1 confirmed + one showing per registration after the close.
    EXPECT_EQ(eraseShowings(), 6u);
    EXPECT_EQ(recorder->eraseCount(), 1u);
}

TEST_F(EraseSession, RewritableDVDIsRefusedWithThePrompt) {
    ScopedRecorder dvd("Scripted DVD-RW", [] {
        ScriptedMedium medium = ScriptedMedium::blankCDRW();
        medium.type = DRDeviceMediaTypeDVDRW;
        return medium;
    }());
    answerer->confirmWith("Scripted DVD-RW");
    burn->erase();
    auto showing = answerer->setupShowings().at(0);
    ASSERT_EQ(showing.choices.size(), 2u);
    EXPECT_FALSE(showing.choices[1].suitableMedia);
    EXPECT_EQ(showing.choices[1].prompt, "That's not a writable CD!");
    EXPECT_FALSE(showing.chosen);
    EXPECT_EQ(dvd->eraseCount(), 0u);
}

TEST_F(EraseSession, AnotherControllersErasePanelBringsThisOneBack) {
    answerer->cancel();
    burn->erase();
    auto other = std::make_shared<VXBurn>();
    answerer->confirmWith("Scripted CD-RW");
    answerer->cancel();  // the other controller's panel comes back: it has registered too
    answerer->cancel();  // ... and this controller's
    other->erase();
    settle();
    EXPECT_EQ(eraseShowings(), 4u);
}

TEST_F(EraseSession, DestroyedControllerWithdrawsItsRegistrations) {
    answerer->cancel();
    const void* identity = burn.get();
    burn->erase();
    burn.reset();
    EXPECT_EQ(NotificationCenter::defaultCenter().observationCount(identity), 0u);
    auto other = std::make_shared<VXBurn>();
    answerer->confirmWith("Scripted CD-RW");
    answerer->cancel();
    other->erase();
    settle();
    EXPECT_EQ(eraseShowings(), 3u);  // the gone controller brought nothing back
}

}  // namespace
}  // namespace kilnware
