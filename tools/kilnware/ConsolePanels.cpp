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

std::string formatted(const char* format, double a, double b = 0, double c = 0) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, a, b, c);
    return buffer;
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
    if (choice_.interrupted && choice_.interrupted()) {
        cancel("Cancelled.");
    } else if (!erase && choice_.nothingToBurn && (nothing = choice_.nothingToBurn())) {
        cancel(*nothing);
    } else {
        chosen = choose(panel, choices);
    }
    output_.event({{"event", "setup"},
                   {"panel", erase ? "erase" : "burn"},
                   {"recorders", recorders},
                   {"chosen", chosen ? json(chosen->displayName()) : json(nullptr)}});
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
            return cancel("No recorder is named \"" + *choice_.recorder +
                          "\". Run \"kilnware devices\" to see the recorders.");
        }
        if (!named->selectable() && askToOverwrite(*named->device)) {
            return named->device;
        }
        if (!named->selectable()) {
            return cancel(*choice_.recorder +
                          " was refused: " + named->prompt.value_or("its medium is not suitable.") +
                          " Or choose another recorder.");
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
        } else {
            // The delegate's own words say what would do.
            std::string prompt = "its medium is not suitable.";
            for (const auto& c : choices) {
                if (c.prompt) {
                    prompt = *c.prompt;
                    break;
                }
            }
            noProposal = suitable.empty()
                             ? "No recorder holds a suitable medium: " + prompt
                             : "Several recorders could do this: choose one with --recorder NAME.";
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
    for (;;) {
        std::cout << (panel.kind() == DRSetupPanel::Kind::Erase ? "Erase" : "Burn")
                  << " with which recorder? [1-" << choices.size()
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
            const auto& c = choices[number - 1];
            if (c.selectable() || askToOverwrite(*c.device)) {
                return c.device;
            }
            std::cout << c.device->displayName() << ": "
                      << c.prompt.value_or("its medium is not suitable.") << '\n';
        }
    }
}

bool ConsolePanels::askToOverwrite(const DRDevice& device) {
    if (choice_.yes || !choice_.terminal || !choice_.overwriteQuestion) {
        return false;
    }
    const auto question = choice_.overwriteQuestion(device);
    if (!question) {
        return false;
    }
    std::cout << *question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
        return false;
    }
    choice_.allowOverwrite(device);
    return true;
}

void ConsolePanels::progressPanelBegan(DRProgressPanel& panel) {
    ++begun_;
    active_ = &panel;
    started_ = std::chrono::steady_clock::now();
    lastPercentPrinted_ = -1;
    lastState_.clear();
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
    const double fraction = std::clamp(status[DRStatusPercentCompleteKey].doubleValue(), 0.0, 1.0);
    const auto written = status[DRStatusBlocksWrittenKey].uint64Value();
    const auto total = status[DRStatusBlocksToWriteKey].uint64Value();
    const double speed = status[DRStatusCurrentSpeedKey].doubleValue();
    // In the medium's own units (CD, DVD or BD 1x), as the engine reckons them.
    const double multiple = status[DRStatusCurrentSpeedMultipleKey].doubleValue();
    const std::string state = stateText(status);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double secondsLeft =
        fraction > 0.01 && fraction < 1 ? elapsed * (1 - fraction) / fraction : 0;
    const auto bytes = static_cast<std::uint64_t>(choice_.blockBytes);
    output_.event({{"event", "progress"},
                   {"state", state},
                   {"percent", std::round(fraction * 1000) / 10},
                   {"blocksDone", written},
                   {"blocksTotal", total},
                   {"bytesDone", written * bytes},
                   {"bytesTotal", total * bytes},
                   {"bytesPerSecond", speed},
                   {"secondsLeft", std::round(secondsLeft)},
                   {"speed", multiple}});
    if (output_.json()) {
        return;
    }
    const int percent = static_cast<int>(fraction * 100);
    std::string line = formatted("%3.0f%%", fraction * 100) + " " + state;
    if (total > 0) {
        line += formatted("  %.1f of %.1f MB", static_cast<double>(written * bytes) / 1e6,
                          static_cast<double>(total * bytes) / 1e6);
    }
    if (multiple > 0) {
        line += formatted("  %.1fx", multiple);
    }
    if (secondsLeft > 0) {
        line += formatted("  %.0f:%02.0f left", std::floor(secondsLeft / 60),
                          std::fmod(secondsLeft, 60));
    }
    if (output_.progressBar()) {
        const int width = 30;
        const int filled = static_cast<int>(fraction * width);
        output_.bar("[" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(width - filled), '-') + "] " + line);
    } else if (percent / 10 != lastPercentPrinted_ / 10 || state != lastState_) {
        output_.say(line);
        lastPercentPrinted_ = percent;
        lastState_ = state;
    }
}

void ConsolePanels::progressPanelPresentResult(DRProgressPanel& panel, const Dictionary& status) {
    const bool failed = DROperation::hasFailed(status);
    const bool burn = panel.kind() == DRProgressPanel::Kind::Burn;
    if (failed) {
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
    active_ = nullptr;
    output_.endBar();
}

}  // namespace kilnware::cli
