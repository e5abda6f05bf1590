// Burns one folder to a data disc image with the image recorder, confirming the setup panel
// itself, and prints the outcome.
//
//   burn-folder FOLDER OUTPUT-FOLDER
#include <iostream>
#include <memory>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/RunLoop.h>

using namespace kilnware;
using namespace kilnware::platform;

// Answers every setup panel with the first recorder that the burn controller accepts.
class FirstSuitableRecorder : public PanelAnswerer {
public:
    std::shared_ptr<DRDevice> runSetupPanel(DRSetupPanel& panel) override {
        for (const auto& choice : panel.deviceChoices()) {
            if (choice.selectable()) {
                return choice.device;
            }
        }
        return nullptr;
    }
};

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: burn-folder FOLDER OUTPUT-FOLDER\n";
        return 2;
    }
    auto loop = RunLoop::current();
    Panels::setAnswerer(std::make_shared<FirstSuitableRecorder>());
    Engine::install(std::make_shared<ImageRecorderEngine>(argv[2]));

    std::optional<bool> succeeded;
    auto burn = std::make_shared<VXBurn>();
    int observer = 0;
    auto& center = NotificationCenter::defaultCenter();
    center.addObserver(&observer, std::string(BurnSucceed), burn.get(),
                       [&](const Notification&) { succeeded = true; });
    center.addObserver(&observer, std::string(BurnFailed), burn.get(),
                       [&](const Notification&) { succeeded = false; });

    burn->burnDataToDisc({argv[1]}, std::nullopt, 1);
    // Either a burn began, and its outcome follows, or the controller says why not.
    if (burn->lastCall().kind == VXBurn::CallOutcome::Kind::Began) {
        loop->runUntil([&] { return succeeded.has_value(); }, std::chrono::minutes(30));
    }
    center.removeObserver(&observer);
    Engine::stopAll();

    if (succeeded.value_or(false)) {
        std::cout << "burned\n";
        return 0;
    }
    std::cout << "not burned: "
              << (succeeded ? burn->lastBurnError().value_or("the burn failed")
                            : burn->lastCall().reason)
              << '\n';
    return 1;
}
