#include "platform/engines/libburn/UnopenableDrive.h"

#include <grp.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRKeys.h>

#include "platform/engines/libburn/LibburnParts.h"

namespace kilnware::platform::libburn {

namespace {

struct UdevFree {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};

// udev's words for the drive ("HL-DT-ST DVDRAM GH24NSD1"), with its underscores as spaces.
std::string udevName(const std::string& node) {
    std::unique_ptr<udev, UdevFree> context(udev_new());
    struct stat st {};
    if (!context || ::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return node;
    }
    std::unique_ptr<udev_device, UdevFree> device(
        udev_device_new_from_devnum(context.get(), 'b', st.st_rdev));
    std::string name;
    for (const char* key : {"ID_VENDOR", "ID_MODEL"}) {
        const char* value = device ? udev_device_get_property_value(device.get(), key) : nullptr;
        if (value && *value) {
            name += (name.empty() ? "" : " ") + std::string(value);
        }
    }
    for (char& c : name) {
        c = c == '_' ? ' ' : c;
    }
    return name.empty() ? node : name + " (" + node + ")";
}

}  // namespace

std::vector<std::string> opticalDriveNodes() {
    std::vector<std::string> nodes;
    std::unique_ptr<udev, UdevFree> context(udev_new());
    std::unique_ptr<udev_enumerate, UdevFree> enumerate(context ? udev_enumerate_new(context.get())
                                                                : nullptr);
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "block") < 0 ||
        udev_enumerate_add_match_property(enumerate.get(), "ID_CDROM", "1") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
        return nodes;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        std::unique_ptr<udev_device, UdevFree> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        const char* node = device ? udev_device_get_devnode(device.get()) : nullptr;
        if (node) {
            nodes.emplace_back(node);
        }
    }
    return nodes;
}

std::optional<std::string> whyUnopenable(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0 || ::access(node.c_str(), R_OK | W_OK) == 0 ||
        errno != EACCES) {
        return std::nullopt;
    }
    // Drives belong to a group (cdrom on Debian) whose members may use them.
    group entry{};
    group* found = nullptr;
    std::string buffer(4096, '\0');
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP)) {
        return "no permission: add yourself to the " + std::string(found->gr_name) +
               " group (and log in again)";
    }
    return "no permission to open " + node;
}

UnopenableDrive::UnopenableDrive(std::string node, std::string reason)
    : node_(std::move(node)),
      reason_(std::move(reason)),
      name_(udevName(node_)),
      interconnect_(interconnectOfDevice(node_)) {}

std::string UnopenableDrive::displayName() const {
    return name_;
}

Dictionary UnopenableDrive::info() const {
    Dictionary info;
    info.set(DRDevicePhysicalInterconnectKey, interconnect_);
    return info;
}

Dictionary UnopenableDrive::status() const {
    Dictionary status;
    status.set(DRDeviceIsBusyKey, false);
    status.set(DRDeviceUnavailableReasonKey, reason_);
    return status;
}

void UnopenableDrive::startBurn(const std::shared_ptr<DRBurn>& burn, const Value&) {
    burn->reportFailure(displayName() + ": " + reason_);
}

void UnopenableDrive::startErase(const std::shared_ptr<DRErase>& erase) {
    erase->reportFailure(displayName() + ": " + reason_);
}

}  // namespace kilnware::platform::libburn
