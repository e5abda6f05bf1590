#include "DesktopBurn.h"

#include <kilnware/platform/discrecording/DRKeys.h>

#include "MediaPolicy.h"
#include "Medium.h"

namespace kilnware::desktop {

using namespace platform;

bool DesktopBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                              const std::shared_ptr<DRDevice>& device,
                                              std::optional<std::string>& promptString) {
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    if (audio_ && !erase) {
        if (!VXBurn::deviceContainsSuitableMedia(panel, device, promptString)) {
            return false;
        }
    } else if (!hosts::widerPolicyTakes(device.get(), erase)) {
        promptString = (erase ? tr("That is no medium Kilnware can erase: insert a CD-RW, DVD-RW, "
                                   "DVD+RW, DVD-RAM or BD-RE.")
                              : tr("That is no medium Kilnware can write: insert a blank CD-R or "
                                   "CD-RW, DVD-R, DVD+R, DVD-RW, DVD+RW (single or double layer), "
                                   "DVD-RAM, BD-R or BD-RE."))
                           .toStdString();
        return false;
    }
    if (erase || !device) {
        return true;
    }
    if (const QString why = refusal(*device); !why.isEmpty()) {
        promptString = why.toStdString();
        return false;
    }
    return true;
}

QString DesktopBurn::refusal(const DRDevice& device) const {
    const Dictionary status = device.status();
    if (status[DRDeviceMediaStateKey].textValue() != DRDeviceMediaStateMediaPresent) {
        return {};  // the library's media question tells of that
    }
    const hosts::Medium medium(status[DRDeviceMediaInfoKey]);
    if (medium.holdsData()) {
        const QString holds = QString::fromStdString(medium.holdings());
        return medium.erasable
                   ? tr("The disc holds %1. Kilnware does not write over it: erase it first "
                        "(the Erase page), or insert a blank disc.")
                         .arg(holds)
                   : tr("The disc holds %1 and cannot be written over: insert a blank disc.")
                         .arg(holds);
    }
    const LayoutMeasure measure = measureLayout(pendingLayout(), &device);
    return measure.problem ? QString::fromStdString(*measure.problem) : QString();
}

}  // namespace kilnware::desktop
