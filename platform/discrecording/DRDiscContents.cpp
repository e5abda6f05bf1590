#include <kilnware/platform/discrecording/DRDiscContents.h>

#include <kilnware/platform/discrecording/DRDevice.h>

namespace kilnware::platform {

DRDiscContents::~DRDiscContents() = default;

std::unique_ptr<DRDiscContents> DRDevice::contents(std::string& error) {
    error = "The recorder " + displayName() + " cannot read its medium back.";
    return nullptr;
}

}  // namespace kilnware::platform
