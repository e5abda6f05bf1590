#include <kilnware/platform/discrecording/DRNotificationCenter.h>

#include <algorithm>
#include <mutex>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::platform {

namespace {
struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<DRDevice>> devices;
    ObserverRegistry observers;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void post(const char* name, const std::shared_ptr<DRDevice>& device) {
    registry().observers.dispatch(Notification{name, device, std::nullopt});
}
}  // namespace

std::shared_ptr<DRNotificationCenter> DRNotificationCenter::currentRunLoopCenter() {
    thread_local auto center = std::make_shared<DRNotificationCenter>(RunLoop::current());
    return center;
}

void DRNotificationCenter::addObserver(const void* observer, std::optional<std::string> name,
                                       const Object* device, NotificationHandler handler) {
    const bool wantsAppearances = !name || *name == DRDeviceAppearedNotification;
    const bool wantsStatus = !name || *name == DRDeviceStatusChangedNotification;
    // The list is read under the same lock that engines take to announce, so that a recorder
    // arriving meanwhile is told exactly once: by the replay or by its own notice.
    std::lock_guard lock(registry().mutex);
    auto registration =
        registry().observers.add(observer, std::move(name), device, std::move(handler), loop_);
    for (const auto& present : registry().devices) {
        if (device && present.get() != device) {
            continue;
        }
        if (wantsAppearances) {
            ObserverRegistry::send(registration,
                                   Notification{DRDeviceAppearedNotification, present, {}});
        }
        if (wantsStatus && device) {
            ObserverRegistry::send(registration,
                                   Notification{DRDeviceStatusChangedNotification, present, {}});
        }
    }
}

void DRNotificationCenter::removeObserver(const void* observer,
                                          const std::optional<std::string>& name,
                                          const Object* device) {
    registry().observers.remove(observer, name, device);
}

std::vector<std::shared_ptr<DRDevice>> DRDevice::devices() {
    return DeviceRegistry::devices();
}

std::vector<std::shared_ptr<DRDevice>> DeviceRegistry::devices() {
    std::lock_guard lock(registry().mutex);
    return registry().devices;
}

void DeviceRegistry::deviceAppeared(const std::shared_ptr<DRDevice>& device) {
    if (!device) {
        return;
    }
    std::lock_guard lock(registry().mutex);
    auto& devices = registry().devices;
    if (std::find(devices.begin(), devices.end(), device) == devices.end()) {
        devices.push_back(device);
    }
    post(DRDeviceAppearedNotification, device);
}

void DeviceRegistry::deviceDisappeared(const std::shared_ptr<DRDevice>& device) {
    if (!device) {
        return;
    }
    std::lock_guard lock(registry().mutex);
    std::erase(registry().devices, device);
    post(DRDeviceDisappearedNotification, device);
}

void DeviceRegistry::deviceStatusChanged(const std::shared_ptr<DRDevice>& device) {
    if (!device) {
        return;
    }
    std::lock_guard lock(registry().mutex);
    post(DRDeviceStatusChangedNotification, device);
}

}  // namespace kilnware::platform
