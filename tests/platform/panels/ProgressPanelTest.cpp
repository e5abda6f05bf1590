#include <gtest/gtest.h>

#include <thread>

#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/panels/Panels.h>
#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

using test::BlankTrack;
using test::runUntil;
using test::ScopedAnswerer;
using test::ScopedRecorder;

class Recording : public DRBurnProgressPanelDelegate {
public:
    void burnProgressPanelWillBegin(const Notification& n) override { calls.push_back(n.name); }
    bool burnDidFinish(DRBurnProgressPanel&, const std::shared_ptr<DRBurn>& burn) override {
        calls.push_back("burnDidFinish " +
                        burn->status()[DRStatusStateKey].textValue().value_or("?"));
        return true;
    }
    void burnProgressPanelDidFinish(const Notification& n) override { calls.push_back(n.name); }
    std::vector<std::string> calls;
};

// An engine that takes the work and drops it without a last status, or reports on past the end:
// a failure, then a success and progress, all before the run loop runs.
class OddRecorder : public DRDevice {
public:
    explicit OddRecorder(bool late) : late_(late) {}
    std::string displayName() const override { return late_ ? "Late" : "Silent"; }
    Dictionary info() const override { return {}; }
    Dictionary status() const override { return {}; }
    bool ejectMedia() override { return false; }
    void startBurn(const std::shared_ptr<DRBurn>& burn, const Value&) override {
        if (late_) {
            burn->reportFailure("The disc is full.");
            burn->reportDone();
            burn->reportStatus(Dictionary{{DRStatusStateKey, DRStatusStateTrackWrite}});
        }
    }
    void startErase(const std::shared_ptr<DRErase>&) override {}

private:
    bool late_;
};

// The delegate hears the panel begin, the one last status and the panel's end, in order on the
// run loop, and the process-wide center hears the panel's notices; nothing after the last status
// reaches anyone.
TEST(ProgressPanel, CallsTheDelegateInOrderOnTheRunLoop) {
    ScopedAnswerer answerer;
    ScopedRecorder scripted("Drive");
    const std::pair<std::shared_ptr<DRDevice>, const char*> cases[] = {
        {scripted.get(), DRStatusStateDone},
        {std::make_shared<OddRecorder>(true), DRStatusStateFailed},
    };
    for (const auto& [recorder, last] : cases) {
        SCOPED_TRACE(recorder->displayName());
        test::NoticeLog notices(
            {DRBurnProgressPanelWillBeginNotification, DRBurnProgressPanelDidFinishNotification});
        auto delegate = std::make_shared<Recording>();
        auto panel = DRBurnProgressPanel::progressPanel();
        panel->setDelegate(delegate);
        auto burn = DRBurn::burnForDevice(recorder);
        List layout{Value(std::make_shared<BlankTrack>()),
                    Value(List{Value(std::make_shared<BlankTrack>())})};
        panel->beginProgressPanelForBurn(burn, layout);
        EXPECT_TRUE(delegate->calls.empty());
        ASSERT_TRUE(runUntil([&] { return delegate->calls.size() == 3; }));
        RunLoop::current()->runUntilIdle();
        EXPECT_EQ(delegate->calls,
                  (std::vector<std::string>{DRBurnProgressPanelWillBeginNotification,
                                            std::string("burnDidFinish ") + last,
                                            DRBurnProgressPanelDidFinishNotification}));
        EXPECT_EQ(burn->status()[DRStatusStateKey].textValue(), last);
        const auto heard = notices.entries();
        ASSERT_EQ(heard.size(), 2u);
        EXPECT_EQ(heard[0].name, DRBurnProgressPanelWillBeginNotification);
        EXPECT_EQ(heard[1].name, DRBurnProgressPanelDidFinishNotification);
        EXPECT_EQ(heard[0].object, panel);
        EXPECT_EQ(heard[1].object, panel);
    }
    auto burns = scripted->burns();
    ASSERT_EQ(burns.size(), 1u);
    EXPECT_EQ(burns[0].tracks.size(), 2u);  // nested lists flatten
    // Whatever an operation asked to stop fails of, the stop is the reason.
    auto stopped = DRBurn::burnForDevice(scripted.get());
    stopped->abort();
    stopped->reportFailure("Write error");
    EXPECT_TRUE(DROperation::wasCancelled(stopped->status()));
    EXPECT_EQ(DROperation::errorText(stopped->status()), DROperation::kCancelledText);
}

TEST(ProgressPanel, WorkThatNeverEndsLeaksNeitherPanelNorOperation) {
    ScopedAnswerer answerer;
    auto recorder = std::make_shared<OddRecorder>(false);
    std::weak_ptr<DRProgressPanel> burnPanel, erasePanel;
    std::weak_ptr<DROperation> burnGone, eraseGone;
    {
        auto panel = DRBurnProgressPanel::progressPanel();
        auto burn = DRBurn::burnForDevice(recorder);
        panel->beginProgressPanelForBurn(burn, Value(std::make_shared<BlankTrack>()));
        auto erasing = DREraseProgressPanel::progressPanel();
        auto erase = DRErase::eraseForDevice(recorder);
        erasing->beginProgressPanelForErase(erase);
        burnPanel = panel;
        erasePanel = erasing;
        burnGone = burn;
        eraseGone = erase;
    }
    ASSERT_TRUE(runUntil([&] { return answerer->progressShowings().size() == 2; }));
    EXPECT_TRUE(runUntil([&] {
        return burnPanel.expired() && erasePanel.expired() && burnGone.expired() &&
               eraseGone.expired();
    }));
}

TEST(SetupPanel, BurnObjectFollowsTheConfirmedRecorderAndNoAnswererCancels) {
    ScopedAnswerer answerer;
    ScopedRecorder first("First");
    ScopedRecorder second("Second");
    auto panel = DRBurnSetupPanel::setupPanel();
    auto before = panel->burnObject();
    EXPECT_EQ(before->device(), first.get());
    before->setProperties(Dictionary{{"kept", true}});
    answerer->confirmWith("Second");
    ASSERT_EQ(panel->runSetupPanel(), DRSetupPanel::kConfirmed);
    EXPECT_EQ(panel->burnObject(), before);
    EXPECT_EQ(before->device(), second.get());
    EXPECT_TRUE(before->properties()["kept"].boolValue());
    // A host sets the properties while an engine's thread reads them (ThreadSanitizer watches).
    std::thread engine([&] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_TRUE(before->properties()["kept"].boolValue());
            before->verifyDisc();
        }
    });
    for (int i = 0; i < 200; ++i) {
        before->setProperties(Dictionary{{"kept", true}, {DRBurnVerifyDiscKey, i % 2 == 0}});
        before->setVerifyDisc(true);
    }
    engine.join();
    // Without an answerer a panel cancels.
    Panels::setAnswerer(nullptr);
    EXPECT_EQ(DREraseSetupPanel::setupPanel()->runSetupPanel(), DRSetupPanel::kCancelled);
}

}  // namespace
}  // namespace kilnware::platform
