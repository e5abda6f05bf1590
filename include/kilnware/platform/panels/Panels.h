#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/foundation/NotificationCenter.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware::platform {

class DRSetupPanel;
class DRBurnProgressPanel;
class DREraseProgressPanel;
class DRProgressPanel;

// What a setup panel asks its delegate while the user chooses a recorder.
class KILNWARE_EXPORT DRSetupPanelDelegate {
public:
    virtual ~DRSetupPanelDelegate();
    virtual bool deviceCouldBeTarget(DRSetupPanel& panel, const std::shared_ptr<DRDevice>& device);
    // May store a prompt for the user in `promptString` when it answers false.
    virtual bool deviceContainsSuitableMedia(DRSetupPanel& panel,
                                             const std::shared_ptr<DRDevice>& device,
                                             std::optional<std::string>& promptString);
};

class KILNWARE_EXPORT DRBurnProgressPanelDelegate {
public:
    virtual ~DRBurnProgressPanelDelegate();
    virtual void burnProgressPanelWillBegin(const Notification& notice);
    // True when the delegate has dealt with the result; false lets the panel present it.
    virtual bool burnDidFinish(DRBurnProgressPanel& panel, const std::shared_ptr<DRBurn>& burn);
    virtual void burnProgressPanelDidFinish(const Notification& notice);
};

class KILNWARE_EXPORT DREraseProgressPanelDelegate {
public:
    virtual ~DREraseProgressPanelDelegate();
    virtual void eraseProgressPanelWillBegin(const Notification& notice);
    virtual bool eraseDidFinish(DREraseProgressPanel& panel, const std::shared_ptr<DRErase>& erase);
    virtual void eraseProgressPanelDidFinish(const Notification& notice);
};

// One recorder as a setup panel shows it, with the delegate's verdicts.
struct KILNWARE_EXPORT DeviceChoice {
    std::shared_ptr<DRDevice> device;
    bool couldBeTarget = false;
    bool suitableMedia = false;
    std::optional<std::string> prompt;
    bool selectable() const { return couldBeTarget && suitableMedia; }
};

// Whoever shows the panels to the user: a host's UI, the console, or a test. The panels call it on
// the thread that runs them.
class KILNWARE_EXPORT PanelAnswerer {
public:
    virtual ~PanelAnswerer();
    // A setup panel runs modally: answer the recorder to use, or null to cancel. The panel's
    // `deviceChoices()` asks the delegate afresh each time, and only a selectable recorder can be
    // confirmed.
    virtual std::shared_ptr<DRDevice> runSetupPanel(DRSetupPanel& panel) = 0;
    virtual void progressPanelBegan(DRProgressPanel& panel);
    virtual void progressPanelUpdated(DRProgressPanel& panel, const Dictionary& status);
    // The delegate left the result to the panel.
    virtual void progressPanelPresentResult(DRProgressPanel& panel, const Dictionary& status);
    virtual void progressPanelClosed(DRProgressPanel& panel);
};

// The answerer that every panel of the process uses. Without one, setup panels cancel.
class KILNWARE_EXPORT Panels {
public:
    static void setAnswerer(std::shared_ptr<PanelAnswerer> answerer);
    static std::shared_ptr<PanelAnswerer> answerer();
};

class KILNWARE_EXPORT DRSetupPanel : public Object {
public:
    enum class Kind { Burn, Erase };
    static constexpr int kConfirmed = 1;
    static constexpr int kCancelled = 0;

    Kind kind() const { return kind_; }
    void setDelegate(const std::shared_ptr<DRSetupPanelDelegate>& delegate) {
        delegate_ = delegate;
    }

    // Runs modally; kConfirmed when the user chose a recorder, kCancelled otherwise.
    int runSetupPanel();
    // Every recorder with the delegate's verdicts, asked now.
    std::vector<DeviceChoice> deviceChoices();
    // The recorder the panel has selected: before it runs, the first selectable one.
    std::shared_ptr<DRDevice> selectedDevice() const { return selected_; }

protected:
    explicit DRSetupPanel(Kind kind) : kind_(kind) {}
    virtual void deviceSelected(const std::shared_ptr<DRDevice>& device) = 0;
    void selectInitialDevice();

private:
    Kind kind_;
    std::weak_ptr<DRSetupPanelDelegate> delegate_;
    std::shared_ptr<DRDevice> selected_;
    bool initialSelectionMade_ = false;
};

class KILNWARE_EXPORT DRBurnSetupPanel : public DRSetupPanel {
public:
    static std::shared_ptr<DRBurnSetupPanel> setupPanel();
    // The burn for the selected recorder. Always the same object for one panel: the recorder the
    // user confirms is bound to it, so properties set on it before the panel ran stay.
    std::shared_ptr<DRBurn> burnObject();

    DRBurnSetupPanel() : DRSetupPanel(Kind::Burn) {}

private:
    void deviceSelected(const std::shared_ptr<DRDevice>& device) override;
    std::shared_ptr<DRBurn> burn_;
};

class KILNWARE_EXPORT DREraseSetupPanel : public DRSetupPanel {
public:
    static std::shared_ptr<DREraseSetupPanel> setupPanel();
    std::shared_ptr<DRErase> eraseObject();

    DREraseSetupPanel() : DRSetupPanel(Kind::Erase) {}

private:
    void deviceSelected(const std::shared_ptr<DRDevice>& device) override;
    std::shared_ptr<DRErase> erase_;
};

// What burn and erase progress panels share, for the answerer.
class KILNWARE_EXPORT DRProgressPanel : public Object {
public:
    enum class Kind { Burn, Erase };
    Kind kind() const { return kind_; }
    void setDescription(std::string description) { description_ = std::move(description); }
    // The text the panel shows, which is also what "%@" shows for it.
    std::string description() const override { return description_; }
    // The operation the panel carries out, once begun.
    virtual std::shared_ptr<DROperation> operation() const = 0;
    // Stops the operation; it then fails with "cancelled".
    void cancel();

protected:
    explicit DRProgressPanel(Kind kind) : kind_(kind) {}
    // On this thread's run loop: tells the answerer and the delegate that the panel begins, posts
    // the will-begin notice, then runs `start`; every status then reaches the answerer, and the
    // last one ends the panel (`finish`).
    void begin(std::function<void()> start);

private:
    void finish(const Dictionary& status);
    const char* noticeName(bool willBegin) const;
    virtual void delegateWillBegin(const Notification& notice) = 0;
    // True when the delegate has dealt with the result.
    virtual bool delegateDidFinish() = 0;
    virtual void delegateDidClose(const Notification& notice) = 0;

    Kind kind_;
    std::string description_;
};

class KILNWARE_EXPORT DRBurnProgressPanel : public DRProgressPanel {
public:
    static std::shared_ptr<DRBurnProgressPanel> progressPanel();
    void setDelegate(const std::shared_ptr<DRBurnProgressPanelDelegate>& delegate) {
        delegate_ = delegate;
    }
    // Starts the burn and returns at once. On this thread's run loop the panel then calls the
    // delegate's burnProgressPanelWillBegin, burnDidFinish and burnProgressPanelDidFinish, in
    // that order, posting the two panel notices on the process-wide center as well.
    void beginProgressPanelForBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout);
    std::shared_ptr<DROperation> operation() const override { return burn_.lock(); }

    DRBurnProgressPanel() : DRProgressPanel(Kind::Burn) {}

private:
    void delegateWillBegin(const Notification& notice) override;
    bool delegateDidFinish() override;
    void delegateDidClose(const Notification& notice) override;
    std::weak_ptr<DRBurnProgressPanelDelegate> delegate_;
    // The running burn keeps the panel alive through its status handler until the last status;
    // the panel holds the burn weakly, so that a burn whose engine drops it unfinished takes the
    // panel with it instead of the two keeping each other forever.
    std::weak_ptr<DRBurn> burn_;
    bool begun_ = false;
};

class KILNWARE_EXPORT DREraseProgressPanel : public DRProgressPanel {
public:
    static std::shared_ptr<DREraseProgressPanel> progressPanel();
    void setDelegate(const std::shared_ptr<DREraseProgressPanelDelegate>& delegate) {
        delegate_ = delegate;
    }
    // Starts the erase and returns at once; the delegate hears eraseProgressPanelWillBegin,
    // eraseDidFinish and eraseProgressPanelDidFinish on this thread's run loop, and the panel
    // posts DREraseProgressPanelDidFinishNotification on the process-wide center when it closes.
    void beginProgressPanelForErase(const std::shared_ptr<DRErase>& erase);
    std::shared_ptr<DROperation> operation() const override { return erase_.lock(); }

    DREraseProgressPanel() : DRProgressPanel(Kind::Erase) {}

private:
    void delegateWillBegin(const Notification& notice) override;
    bool delegateDidFinish() override;
    void delegateDidClose(const Notification& notice) override;
    std::weak_ptr<DREraseProgressPanelDelegate> delegate_;
    std::weak_ptr<DRErase> erase_;  // weakly, as a burn panel holds its burn
    bool begun_ = false;
};

}  // namespace kilnware::platform
