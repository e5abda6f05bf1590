#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/panels/Panels.h>

namespace kilnware::platform {

// Answers the panels as a test tells it, and records what each panel asked. Each setup panel takes
// the next scripted answer; with none left, it cancels.
class KILNWARE_EXPORT ScriptedAnswerer : public PanelAnswerer {
public:
    // What one setup panel showed and how it was answered.
    struct SetupShowing {
        DRSetupPanel::Kind kind;
        std::vector<DeviceChoice> choices;
        // The confirmed recorder's display name; none when cancelled or when the scripted
        // recorder was not selectable.
        std::optional<std::string> chosen;
    };
    struct ProgressShowing {
        DRProgressPanel::Kind kind;
        std::string description;
        std::vector<Dictionary> updates;
        std::optional<Dictionary> presentedResult;  // when the delegate left it to the panel
        bool closed = false;
    };
    // Runs while the setup panel is up, before it is answered.
    using Hook = std::function<void(DRSetupPanel&)>;

    // Installs a new answerer for every panel of the process and returns it.
    static std::shared_ptr<ScriptedAnswerer> install();

    void confirmWith(std::string displayName, Hook whileShown = nullptr);
    void cancel(Hook whileShown = nullptr);
    // Cancels a burn or erase once its progress panel has seen `updates` status reports.
    void cancelProgressAfter(std::size_t updates);

    std::vector<SetupShowing> setupShowings() const;
    std::vector<ProgressShowing> progressShowings() const;
    std::size_t pendingAnswers() const;

    std::shared_ptr<DRDevice> runSetupPanel(DRSetupPanel& panel) override;
    void progressPanelBegan(DRProgressPanel& panel) override;
    void progressPanelUpdated(DRProgressPanel& panel, const Dictionary& status) override;
    void progressPanelPresentResult(DRProgressPanel& panel, const Dictionary& status) override;
    void progressPanelClosed(DRProgressPanel& panel) override;

private:
    struct Answer {
        std::optional<std::string> deviceName;
        Hook whileShown;
    };
    ProgressShowing* showingOf(const DRProgressPanel& panel);

    mutable std::mutex mutex_;
    std::deque<Answer> answers_;
    std::vector<SetupShowing> setups_;
    std::vector<ProgressShowing> progress_;
    std::vector<const DRProgressPanel*> progressPanels_;
    std::optional<std::size_t> cancelAfter_;
};

}  // namespace kilnware::platform
