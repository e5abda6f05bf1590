#include "HostBurn.h"

#include "MediaPolicy.h"

namespace kilnware::cli {

using namespace platform;

bool HostBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                           const std::shared_ptr<DRDevice>& device,
                                           std::optional<std::string>& promptString) {
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    if (audio_ && !erase) {
        return VXBurn::deviceContainsSuitableMedia(panel, device, promptString);
    }
    if (hosts::widerPolicyTakes(device.get(), erase)) {
        return true;
    }
    promptString = erase ? kErasablePrompt : kWritablePrompt;
    return false;
}

}  // namespace kilnware::cli
