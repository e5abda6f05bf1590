#include "ConsolePanels.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::cli {

using namespace platform;
using nlohmann::json;

namespace {

std::string stateText(const Dictionary& status) {
    std::string state = status[DRStatusStateKey].textValue().value_or("");
    const std::string prefix = "DRStatusState";
    return state.rfind(prefix, 0) == 0 ? state.substr(prefix.size()) : state;
}

}  // namespace

ConsolePanels::ConsolePanels(const Output& output, SetupChoice choice)
    : output_(output), choice_(std::move(choice)) {}

std::shared_ptr<DRDevice> ConsolePanels::cancel(std::string reason) {
    ++setupCancels_;
    cancelReason_ = std::move(reason);
    return nullptr;
}

std::shared_ptr<DRDevice> ConsolePanels::runSetupPanel(DRSetupPanel& panel) {
    ++setupShowings_;
    const auto choices = panel.deviceChoices();
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    json recorders = json::array();
    output_.say(erase ? "Erase setup:" : "Burn setup:");
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const auto& c = choices[i];
        const std::string name = c.device->displayName();
        std::string verdict = c.selectable()     ? "ready"
                              : !c.couldBeTarget ? "cannot be used"
                                                 : c.prompt.value_or("medium not suitable");
        output_.say("  " + std::to_string(i + 1) + ". " + name + ": " + verdict);
        recorders.push_back({{"name", name},
                             {"target", c.couldBeTarget},
                             {"suitable", c.suitableMedia},
                             {"prompt", c.prompt ? json(*c.prompt) : json(nullptr)}});
    }
    std::shared_ptr<DRDevice> chosen;
    std::optional<std::string> nothing;
    bool laidOut = false;  // a layout to show on a dry run
    if (choice_.interrupted && choice_.interrupted()) {
        cancel("Cancelled.");
    } else if (!erase && choice_.nothingToBurn && (nothing = choice_.nothingToBurn())) {
        cancel(*nothing);
    } else {
        laidOut = !erase;
        chosen = choose(panel, choices);
    }
    output_.event({{"event", "setup"},
                   {"panel", erase ? "erase" : "burn"},
                   {"recorders", recorders},
                   {"chosen", chosen ? json(chosen->displayName()) : json(nullptr)}});
    if (laidOut && choice_.dryRun) {
        // The recorder the burn would go to, or the one that refused it.
        const DRDevice* target = chosen.get();
        for (const auto& c : choices) {
            if (!target &&
                (choices.size() == 1 || (choice_.isNamed && choice_.isNamed(*c.device)))) {
                target = c.device.get();
            }
        }
        choice_.dryRun(output_, target);
        if (chosen) {
            ++dryRuns_;
            return cancel("");
        }
    }
    if (chosen && choice_.beforeConfirm) {
        choice_.beforeConfirm(panel, *chosen);
    }
    return chosen;
}

std::shared_ptr<DRDevice> ConsolePanels::choose(DRSetupPanel& panel,
                                                const std::vector<DeviceChoice>& choices) {
    if (choices.empty()) {
        return cancel("No recorder is available.");
    }
    // The recorder to use without asking, or why there is none.
    std::shared_ptr<DRDevice> proposed;
    std::string noProposal;
    if (choice_.recorder) {
        auto named = std::find_if(choices.begin(), choices.end(), [&](const DeviceChoice& c) {
            return choice_.isNamed ? choice_.isNamed(*c.device)
                                   : c.device->displayName() == *choice_.recorder;
        });
        if (named == choices.end()) {
            return cancel(choice_.noSuchRecorder());
        }
        DeviceChoice verdict = *named;
        if (!verdict.selectable()) {
            verdict = askToOverwrite(panel, verdict);
        }
        if (!verdict.selectable()) {
            return cancel(*choice_.recorder + " was refused: " +
                          verdict.prompt.value_or("its medium is not suitable.") +
                          " Or choose another recorder.");
        }
        if (!named->selectable()) {
            return verdict.device;  // the person said yes to writing over it
        }
        proposed = named->device;
    } else {
        std::vector<std::shared_ptr<DRDevice>> suitable;
        for (const auto& c : choices) {
            if (c.selectable()) {
                suitable.push_back(c.device);
            }
        }
        if (suitable.size() == 1) {
            proposed = suitable.front();
        } else if (suitable.empty()) {
            // The delegate's own words say what would do; with one recorder, they say it all.
            const auto prompted = std::find_if(choices.begin(), choices.end(),
                                               [](const DeviceChoice& c) { return c.prompt; });
            const std::string prompt = prompted != choices.end()
                                           ? *prompted->prompt
                                           : std::string("its medium is not suitable.");
            return cancel(choices.size() == 1 ? prompt
                                              : "No recorder holds a suitable medium: " + prompt);
        } else {
            noProposal = "Several recorders could do this: choose one with --recorder NAME.";
        }
    }
    if (choice_.yes) {
        if (choice_.confirmations == 0) {
            return cancel("");  // --yes confirms the first showing only
        }
        if (!proposed) {
            return cancel(noProposal);
        }
        --choice_.confirmations;
        return proposed;
    }
    if (!choice_.terminal) {
        return cancel(
            "There is no terminal to ask on, so nothing was chosen. Pass --yes to "
            "confirm (and --recorder NAME to choose).");
    }
    if (panel.kind() != DRSetupPanel::Kind::Erase) {
        return askWhich(panel, "Burn", choices, proposed);
    }
    // An erase loses everything on the disc: it is asked about once, each time the panel comes
    // back after an erase too.
    auto device = proposed ? proposed : askWhich(panel, "Erase", choices, nullptr);
    if (!device) {
        return nullptr;
    }
    std::cout << (closed_ > 0 ? "Erase another disc in " : "Erase the disc in ")
              << device->displayName() << "? Everything on it is lost. [y/N] " << std::flush;
    std::string answer;
    if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes")) {
        return device;
    }
    return cancel("Cancelled.");
}

std::shared_ptr<DRDevice> ConsolePanels::askWhich(DRSetupPanel& panel, const char* verb,
                                                  const std::vector<DeviceChoice>& choices,
                                                  const std::shared_ptr<DRDevice>& proposed) {
    for (;;) {
        std::cout << verb << " with which recorder? [1-" << choices.size()
                  << (proposed ? ", Enter for " + proposed->displayName() : std::string())
                  << ", q to cancel] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer) || answer == "q" || answer == "Q") {
            std::cout << '\n';
            return cancel("Cancelled.");
        }
        if (answer.empty() && proposed) {
            return proposed;
        }
        char* end = nullptr;
        const unsigned long number = std::strtoul(answer.c_str(), &end, 10);
        if (!answer.empty() && end && *end == '\0' && number >= 1 && number <= choices.size()) {
            const DeviceChoice c = choices[number - 1].selectable()
                                       ? choices[number - 1]
                                       : askToOverwrite(panel, choices[number - 1]);
            if (c.selectable()) {
                return c.device;
            }
            std::cout << c.device->displayName() << ": "
                      << c.prompt.value_or("its medium is not suitable.") << '\n';
        }
    }
}

DeviceChoice ConsolePanels::askToOverwrite(DRSetupPanel& panel, const DeviceChoice& refused) {
    if (choice_.yes || !choice_.terminal || !choice_.overwriteQuestion) {
        return refused;
    }
    const auto question = choice_.overwriteQuestion(*refused.device);
    if (!question) {
        return refused;
    }
    std::cout << *question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
        return refused;
    }
    choice_.allowOverwrite(*refused.device);
    // Written over, the medium still has to take the burn: its room and speeds are asked anew.
    for (const DeviceChoice& fresh : panel.deviceChoices()) {
        if (fresh.device == refused.device) {
            return fresh;
        }
    }
    return refused;
}

void ConsolePanels::progressPanelBegan(DRProgressPanel& panel) {
    ++begun_;
    active_ = &panel;
    started_ = std::chrono::steady_clock::now();
    lastPercentPrinted_ = -1;
    lastState_.clear();
    last_ = {};
    auto operation = panel.operation();
    auto device = operation ? operation->device() : nullptr;
    const std::string recorder = device ? device->displayName() : "no recorder";
    output_.say(panel.description().empty() ? "Erasing on " + recorder
                                            : panel.description() + " on " + recorder);
    output_.event({{"event", "begin"},
                   {"panel", panel.kind() == DRProgressPanel::Kind::Burn ? "burn" : "erase"},
                   {"description", panel.description()},
                   {"recorder", recorder}});
}

void ConsolePanels::progressPanelUpdated(DRProgressPanel&, const Dictionary& status) {
    Progress progress;
    progress.fraction = std::clamp(status[DRStatusPercentCompleteKey].doubleValue(), 0.0, 1.0);
    const auto written = status[DRStatusBlocksWrittenKey].uint64Value();
    const auto total = status[DRStatusBlocksToWriteKey].uint64Value();
    const auto bytes = static_cast<std::uint64_t>(choice_.blockBytes);
    progress.bytesDone = written * bytes;
    progress.bytesTotal = total * bytes;
    // In the medium's own units (CD, DVD or BD 1x), as the engine reckons them.
    progress.speed = status[DRStatusCurrentSpeedMultipleKey].doubleValue();
    progress.state = stateText(status);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double fraction = progress.fraction;
    progress.secondsLeft =
        fraction > 0.01 && fraction < 1 ? elapsed * (1 - fraction) / fraction : 0;
    output_.event({{"event", "progress"},
                   {"state", progress.state},
                   {"percent", std::round(fraction * 1000) / 10},
                   {"blocksDone", written},
                   {"blocksTotal", total},
                   {"bytesDone", progress.bytesDone},
                   {"bytesTotal", progress.bytesTotal},
                   {"bytesPerSecond", status[DRStatusCurrentSpeedKey].doubleValue()},
                   {"secondsLeft", std::round(progress.secondsLeft)},
                   {"speed", progress.speed}});
    last_ = progress;
    show(progress);
}

void ConsolePanels::show(const Progress& progress) {
    if (output_.json()) {
        return;
    }
    // Redrawn in place on a terminal; otherwise a line for each phase and each tenth.
    const int percent = static_cast<int>(progress.fraction * 100);
    if (output_.progressBar()) {
        output_.bar(progressLine(progress, output_.terminalWidth(), true));
    } else if (percent / 10 != lastPercentPrinted_ / 10 || progress.state != lastState_) {
        output_.say(progressLine(progress, 80, false));
        lastPercentPrinted_ = percent;
        lastState_ = progress.state;
    }
}

void ConsolePanels::showEnd(const Dictionary& status) {
    // A finished operation's line ends at 100 %, whatever its last report said.
    if (!DROperation::hasFailed(status) && !last_.state.empty() && last_.fraction < 1) {
        last_.fraction = 1;
        last_.bytesDone = last_.bytesTotal;
        last_.secondsLeft = 0;
        const auto blocks = last_.bytesTotal / choice_.blockBytes;
        output_.event({{"event", "progress"},
                       {"state", last_.state},
                       {"percent", 100},
                       {"blocksDone", blocks},
                       {"blocksTotal", blocks},
                       {"bytesDone", last_.bytesTotal},
                       {"bytesTotal", last_.bytesTotal},
                       {"bytesPerSecond", 0},
                       {"secondsLeft", 0},
                       {"speed", last_.speed}});
        show(last_);
    }
}

void ConsolePanels::progressPanelPresentResult(DRProgressPanel& panel, const Dictionary& status) {
    showEnd(status);
    const bool failed = DROperation::hasFailed(status);
    const bool burn = panel.kind() == DRProgressPanel::Kind::Burn;
    if (DROperation::wasCancelled(status)) {
        output_.say(burn ? "The burn was cancelled." : "The erase was cancelled.");
    } else if (failed) {
        output_.problem(std::string(burn ? "The burn failed: " : "The erase failed: ") +
                        DROperation::errorText(status).value_or("unknown error"));
    } else {
        output_.say(burn ? "The burn is done." : "The erase is done.");
    }
}

void ConsolePanels::progressPanelClosed(DRProgressPanel& panel) {
    ++closed_;
    if (auto operation = panel.operation()) {
        lastFinalStatus_ = operation->status();
    }
    if (auto operation = panel.operation()) {
        showEnd(operation->status());
    }
    active_ = nullptr;
    output_.endBar();
}

}  // namespace kilnware::cli
