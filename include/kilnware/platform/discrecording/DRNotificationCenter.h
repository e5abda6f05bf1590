#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/foundation/NotificationCenter.h>

namespace kilnware::platform {

// The engine's notification center for device notices. A registration made through the center of a
// thread's run loop receives its notices on that run loop, later, with the device as object.
//
// As recorders do, the center tells a new observer what it would otherwise have missed: a
// registration for DRDeviceAppearedNotification receives one notice for every recorder already
// there, and one for DRDeviceStatusChangedNotification about one recorder receives that
// recorder's current status as a first notice.
class KILNWARE_EXPORT DRNotificationCenter {
public:
    static std::shared_ptr<DRNotificationCenter> currentRunLoopCenter();

    void addObserver(const void* observer, std::optional<std::string> name, const Object* device,
                     NotificationHandler handler);
    void removeObserver(const void* observer, const std::optional<std::string>& name = std::nullopt,
                        const Object* device = nullptr);

    const std::shared_ptr<RunLoop>& runLoop() const { return loop_; }

    explicit DRNotificationCenter(std::shared_ptr<RunLoop> loop) : loop_(std::move(loop)) {}

private:
    std::shared_ptr<RunLoop> loop_;
};

// The recorders that engines offer. Engines tell it, from any thread, when a recorder comes, goes
// or changes; it keeps the list and sends the device notices.
class KILNWARE_EXPORT DeviceRegistry {
public:
    static std::vector<std::shared_ptr<DRDevice>> devices();
    static void deviceAppeared(const std::shared_ptr<DRDevice>& device);
    static void deviceDisappeared(const std::shared_ptr<DRDevice>& device);
    static void deviceStatusChanged(const std::shared_ptr<DRDevice>& device);
};

}  // namespace kilnware::platform
