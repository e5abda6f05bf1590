#include <gtest/gtest.h>

#include <functional>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include "tests/support/BurnFixture.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

class EraseSession : public BurnTest {
protected:
    ScopedRecorder rewritable{"Scripted CD-RW", ScriptedMedium::blankCDRW()};

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

// However the erase ends, one line says how, and the setup panel comes back until cancelled.
TEST_F(EraseSession, EachEndLogsOneLineAndBringsTheSetupPanelBack) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] {}, "Erase finished fine"},
        {[&] { rewritable->failNextErase("The medium is write-protected."); },
         "The erase failed (The medium is write-protected.)!"},
        {[&] {
             rewritable->setOperationDuration(std::chrono::hours(24));  // ends only when cancelled
             answerer->cancelProgressAfter(1);
         },
         "The erase failed (cancelled)!"},
    };
    std::size_t showings = 0;
    for (const auto& [script, said] : cases) {
        SCOPED_TRACE(said);
        log.clear();
        script();
        answerer->confirmWith("Scripted CD-RW");
        answerer->cancel();
        auto controller = std::make_shared<VXBurn>();  // withdrawn again at the end of the case
        controller->erase();
        settle();
        EXPECT_EQ(log.lines(), std::vector<std::string>{said});
        EXPECT_EQ(eraseShowings(), showings += 2);
    }
    EXPECT_EQ(rewritable->eraseCount(), 3u);
    // The delegate answers YES: the panel leaves the result to it.
    EXPECT_FALSE(answerer->progressShowings().at(0).presentedResult);
    EXPECT_TRUE(notices.entries().empty());
}

TEST_F(EraseSession, FailureWithoutErrorTextSaysUnknownError) {
    Dictionary failed;
    failed.set(DRStatusStateKey, DRStatusStateFailed);
    auto erase = DRErase::eraseForDevice(rewritable.get());
    erase->reportStatus(failed);  // not started: only the status is kept
    EXPECT_TRUE(burn->eraseDidFinish(*DREraseProgressPanel::progressPanel(), erase));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"The erase failed (unknown error)!"});
}

// Each call of erase registers once; every live registration brings its panel back when any
// controller's erase closes, and a destroyed controller's go with it.
TEST_F(EraseSession, EveryLiveRegistrationBringsThePanelBackAfterAnyErase) {
    answerer->cancel();
    burn->erase();
    answerer->cancel();
    burn->erase();
    EXPECT_TRUE(answerer->progressShowings().empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(NotificationCenter::defaultCenter().observationCount(burn.get()), 2u);
    auto gone = std::make_shared<VXBurn>();
    const void* identity = gone.get();
    answerer->cancel();
    gone->erase();
    gone.reset();
    EXPECT_EQ(NotificationCenter::defaultCenter().observationCount(identity), 0u);
    auto other = std::make_shared<VXBurn>();
    answerer->confirmWith("Scripted CD-RW");
    for (int comingBack = 0; comingBack < 3; ++comingBack) {  // the other's once, this one's twice
        answerer->cancel();
    }
    other->erase();
    settle();
    EXPECT_EQ(eraseShowings(), 7u);  // 3 cancelled + 1 confirmed + 3 brought back
    EXPECT_EQ(rewritable->eraseCount(), 1u);
}

}  // namespace
}  // namespace kilnware
