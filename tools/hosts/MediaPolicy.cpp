#include "MediaPolicy.h"

#include "ContentPolicy.h"

#include <algorithm>
#include <string_view>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::hosts {

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

bool widerPolicyTakes(const DRDevice* device, bool erase) {
    const Dictionary status = device ? device->status() : Dictionary();
    const std::string* type = lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaTypeKey).text();
    if (erase ? listed(type, kErasable) : listed(type, kWritable)) {
        return true;
    }
    // A libburn pseudo-drive over a file has no medium type: it takes data and images.
    return !erase && device && ContentPolicy::pseudoDrive(*device);
}

}  // namespace kilnware::hosts
