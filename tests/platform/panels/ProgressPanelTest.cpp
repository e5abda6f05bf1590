#include <gtest/gtest.h>

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

TEST(ProgressPanel, CallsTheDelegateInOrderOnTheRunLoop) {
    ScopedAnswerer answerer;
    ScopedRecorder recorder("Drive");
    auto delegate = std::make_shared<Recording>();
    auto panel = DRBurnProgressPanel::progressPanel();
    panel->setDelegate(delegate);
    auto burn = DRBurn::burnForDevice(recorder.get());
    List layout{Value(std::make_shared<BlankTrack>()),
                Value(List{Value(std::make_shared<BlankTrack>())})};
    panel->beginProgressPanelForBurn(burn, layout);
    EXPECT_TRUE(delegate->calls.empty());
    ASSERT_TRUE(runUntil([&] { return delegate->calls.size() == 3; }));
    EXPECT_EQ(delegate->calls,
              (std::vector<std::string>{DRBurnProgressPanelWillBeginNotification,
                                        "burnDidFinish DRStatusStateDone",
                                        DRBurnProgressPanelDidFinishNotification}));
    auto burns = recorder->burns();
    ASSERT_EQ(burns.size(), 1u);
    EXPECT_EQ(burns[0].tracks.size(), 2u);  // nested lists flatten
}

// An engine that takes the work and drops it without a last status.
class SilentRecorder : public DRDevice {
public:
    std::string displayName() const override { return "Silent"; }
    Dictionary info() const override { return {}; }
    Dictionary status() const override { return {}; }
    bool ejectMedia() override { return false; }
    void startBurn(const std::shared_ptr<DRBurn>&, const Value&) override {}
    void startErase(const std::shared_ptr<DRErase>&) override {}
};

TEST(ProgressPanel, WorkThatNeverEndsLeaksNeitherPanelNorOperation) {
    ScopedAnswerer answerer;
    auto recorder = std::make_shared<SilentRecorder>();
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
    // Without an answerer a panel cancels.
    Panels::setAnswerer(nullptr);
    EXPECT_EQ(DREraseSetupPanel::setupPanel()->runSetupPanel(), DRSetupPanel::kCancelled);
}

}  // namespace
}  // namespace kilnware::platform
