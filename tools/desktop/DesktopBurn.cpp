#include "DesktopBurn.h"

#include <algorithm>
#include <string_view>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::desktop {

using namespace platform;

namespace {

constexpr std::string_view kWritable[] = {
    DRDeviceMediaTypeCDR,           DRDeviceMediaTypeCDRW,
    DRDeviceMediaTypeDVDR,          DRDeviceMediaTypeDVDRW,
    DRDeviceMediaTypeDVDRDualLayer, DRDeviceMediaTypeDVDPlusR,
    DRDeviceMediaTypeDVDPlusRW,     DRDeviceMediaTypeDVDPlusRDoubleLayer,
    DRDeviceMediaTypeDVDRAM,        DRDeviceMediaTypeBDR,
    DRDeviceMediaTypeBDRE,
};

constexpr std::string_view kErasable[] = {
    DRDeviceMediaTypeCDRW,   DRDeviceMediaTypeDVDRW, DRDeviceMediaTypeDVDPlusRW,
    DRDeviceMediaTypeDVDRAM, DRDeviceMediaTypeBDRE,
};

template <std::size_t N>
bool listed(const std::string* type, const std::string_view (&types)[N]) {
    return type && std::find(std::begin(types), std::end(types), *type) != std::end(types);
}

}  // namespace

bool DesktopBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                              const std::shared_ptr<DRDevice>& device,
                                              std::optional<std::string>& promptString) {
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    if (audio_ && !erase) {
        return VXBurn::deviceContainsSuitableMedia(panel, device, promptString);
    }
    const Dictionary status = device ? device->status() : Dictionary();
    const std::string* type = lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaTypeKey).text();
    if (erase ? listed(type, kErasable) : listed(type, kWritable)) {
        return true;
    }
    // A libburn pseudo-drive over a file has no medium type: it takes data and images.
    const Dictionary info = device ? device->info() : Dictionary();
    const std::string* connection = info[DRDevicePhysicalInterconnectKey].text();
    if (!erase && connection && *connection == "Pseudo-drive") {
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
