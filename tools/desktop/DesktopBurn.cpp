#include "DesktopBurn.h"

#include "MediaPolicy.h"

namespace kilnware::desktop {

using namespace platform;

bool DesktopBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                              const std::shared_ptr<DRDevice>& device,
                                              std::optional<std::string>& promptString) {
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    if (audio_ && !erase) {
        return VXBurn::deviceContainsSuitableMedia(panel, device, promptString);
    }
    if (hosts::widerPolicyTakes(device.get(), erase)) {
        return true;
    }
    promptString = (erase ? tr("That is no medium Kilnware can erase: insert a CD-RW, DVD-RW, "
                               "DVD+RW, DVD-RAM or BD-RE.")
                          : tr("That is no medium Kilnware can write: insert a blank CD-R or "
                               "CD-RW, DVD-R, DVD+R, DVD-RW, DVD+RW (single or double layer), "
                               "DVD-RAM, BD-R or BD-RE."))
                       .toStdString();
    return false;
}

}  // namespace kilnware::desktop
