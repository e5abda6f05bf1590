#pragma once

// A drive the user may not open: shown, with the reason, instead of vanishing. Internal to the
// engine (and its tests).

#include <optional>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRDevice.h>

namespace kilnware::platform::libburn {

// The optical drives udev knows of ("/dev/sr0"...), whether or not they can be opened.
std::vector<std::string> opticalDriveNodes();

// Why the running user may not open the drive at `node` for recording, in words for a person
// ("no permission: add yourself to the cdrom group"); none when it may, or the node is not there.
std::optional<std::string> whyUnopenable(const std::string& node);

// Its status has no medium state and carries DRDeviceUnavailableReasonKey; a setup panel shows it
// with that reason and cannot choose it, and a burn or erase started on it fails with the reason.
class UnopenableDrive : public DRDevice {
public:
    UnopenableDrive(std::string node, std::string reason);

    const std::string& node() const { return node_; }

    std::string displayName() const override;
    Dictionary info() const override;
    Dictionary status() const override;
    bool ejectMedia() override { return false; }
    void startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) override;
    void startErase(const std::shared_ptr<DRErase>& erase) override;

private:
    const std::string node_;
    const std::string reason_;
    std::string name_;
    std::string interconnect_;
};

}  // namespace kilnware::platform::libburn
