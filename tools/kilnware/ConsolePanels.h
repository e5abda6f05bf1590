#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <kilnware/platform/panels/Panels.h>

#include "Output.h"
#include "ProgressLine.h"

namespace kilnware::cli {

// How the console answers setup panels.
struct SetupChoice {
    std::optional<std::string> recorder;  // --recorder, as given
    // Why no recorder is the one --recorder names, with where to look.
    std::function<std::string()> noSuchRecorder;
    // Whether a recorder is the one --recorder names (its name, device path or libburn address).
    std::function<bool(const platform::DRDevice&)> isNamed;
    bool yes = false;  // --yes: confirm without asking
    // How many showings --yes confirms; later ones cancel (the erase cycle comes back).
    std::size_t confirmations = 1;
    bool terminal = false;  // standard input is a terminal to ask on
    // Runs on a setup panel just before it is confirmed, with the recorder chosen.
    std::function<void(platform::DRSetupPanel&, const platform::DRDevice&)> beforeConfirm;
    // Why there is nothing to burn, seen when the burn setup panel comes up; the panel is then
    // cancelled with that reason instead of burning an empty disc.
    std::function<std::optional<std::string>()> nothingToBurn;
    // Whether the person asked to stop (Ctrl-C, SIGTERM, SIGHUP): a setup panel then cancels.
    std::function<bool()> interrupted;
    // Bytes in a block of what is burned: 2352 for CD audio, 2048 for everything else.
    std::size_t blockBytes = 2048;
    // What to ask before writing over the medium in a recorder the delegate refused for what it
    // holds (none: nothing to ask), and what to do when the person says yes.
    std::function<std::optional<std::string>(const platform::DRDevice&)> overwriteQuestion;
    std::function<void(const platform::DRDevice&)> allowOverwrite;
    // --dry-run: shown what would be burned on the recorder that would be chosen (or that was
    // refused; null when there is none), a burn setup panel is cancelled instead of confirmed.
    std::function<void(const Output&, const platform::DRDevice*)> dryRun;
};

// The four panels on a console: the setup panel lists every recorder with the delegate's verdict
// and takes a choice; the progress panel draws a bar on a terminal or prints plain lines, and
// tells the result when the delegate leaves that to it.
class ConsolePanels : public platform::PanelAnswerer {
public:
    ConsolePanels(const Output& output, SetupChoice choice);

    std::shared_ptr<platform::DRDevice> runSetupPanel(platform::DRSetupPanel& panel) override;
    void progressPanelBegan(platform::DRProgressPanel& panel) override;
    void progressPanelUpdated(platform::DRProgressPanel& panel,
                              const platform::Dictionary& status) override;
    void progressPanelPresentResult(platform::DRProgressPanel& panel,
                                    const platform::Dictionary& status) override;
    void progressPanelClosed(platform::DRProgressPanel& panel) override;

    std::size_t setupShowings() const { return setupShowings_; }
    std::size_t setupCancels() const { return setupCancels_; }
    // Burn setup panels that a dry run ended with a recorder that would have burned.
    std::size_t dryRuns() const { return dryRuns_; }
    std::size_t progressPanelsBegun() const { return begun_; }
    std::size_t progressPanelsClosed() const { return closed_; }
    // The panel that runs now, for Ctrl-C; null between panels.
    platform::DRProgressPanel* activePanel() const { return active_; }
    // Why the last setup panel was cancelled, for the person.
    const std::string& cancelReason() const { return cancelReason_; }
    // The last status of the last progress panel that closed: its outcome.
    const platform::Dictionary& lastFinalStatus() const { return lastFinalStatus_; }

private:
    std::shared_ptr<platform::DRDevice> choose(platform::DRSetupPanel& panel,
                                               const std::vector<platform::DeviceChoice>& choices);
    std::shared_ptr<platform::DRDevice> cancel(std::string reason);
    // On a terminal, without --yes: asks whether to write over what the medium of a refused
    // recorder holds. After a yes, the delegate's verdict on it asked anew (the layout may still
    // not fit, or the speed not be reached); else the refusal as it was.
    platform::DeviceChoice askToOverwrite(platform::DRSetupPanel& panel,
                                          const platform::DeviceChoice& refused);
    // Asks on the terminal which recorder to `verb` with ("Burn"); null when cancelled.
    std::shared_ptr<platform::DRDevice> askWhich(
        platform::DRSetupPanel& panel, const char* verb,
        const std::vector<platform::DeviceChoice>& choices,
        const std::shared_ptr<platform::DRDevice>& proposed);
    // Draws the progress line, or prints it when it says something new.
    void show(const Progress& progress);
    // Brings the line to 100 % when `status` is a success.
    void showEnd(const platform::Dictionary& status);

    const Output& output_;
    SetupChoice choice_;
    std::size_t setupShowings_ = 0;
    std::size_t setupCancels_ = 0;
    std::size_t dryRuns_ = 0;
    std::size_t begun_ = 0;
    std::size_t closed_ = 0;
    platform::DRProgressPanel* active_ = nullptr;
    std::string cancelReason_;
    platform::Dictionary lastFinalStatus_;
    std::chrono::steady_clock::time_point started_;
    int lastPercentPrinted_ = -1;
    std::string lastState_;
    Progress last_;  // the last progress shown
};

}  // namespace kilnware::cli
