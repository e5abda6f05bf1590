// The engine: the drives libburn finds, the recorders added by address, and the udev watch.

#include <kilnware/platform/engines/libburn/LibburnEngine.h>

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include <kilnware/platform/foundation/Log.h>

#include "platform/engines/libburn/LibburnParts.h"
#include "platform/engines/libburn/UnopenableDrive.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/media/Libburn.h"

namespace kilnware::platform {

using namespace burn;

LibburnEngine::LibburnEngine() = default;

LibburnEngine::~LibburnEngine() {
    stop();
}

std::string LibburnEngine::name() const {
    return "libburn";
}

bool LibburnEngine::prepare() {
    std::lock_guard lock(media::libburnMutex());
    return media::startLibburn();
}

void LibburnEngine::start() {
    std::vector<std::string> addresses;
    {
        std::lock_guard lock(media::libburnMutex());
        if (!media::startLibburn()) {
            Log::write("libburn recorder: libburn did not start");
            return;
        }
        burn_drive_info* infos = nullptr;
        unsigned int count = 0;
        int done = 0;
        while ((done = burn_drive_scan(&infos, &count)) == 0) {
            // The scan of a machine without drives takes a millisecond or two: a longer nap would
            // be most of the start of every command.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (done > 0 && infos) {
            for (unsigned int i = 0; i < count; ++i) {
                char adr[BURN_DRIVE_ADR_LEN] = {};
                if (burn_drive_d_get_adr(infos[i].drive, adr) > 0) {
                    addresses.emplace_back(adr);
                }
                // Not held: other programs may use the drive until we burn.
                burn_drive_info_forget(&infos[i], 0);
            }
        }
        if (infos) {
            burn_drive_info_free(infos);
        }
    }
    for (const std::string& address : addresses) {
        addRecorder(address);
    }
    // What the scan left out because the user may not open it is shown with the reason.
    for (const std::string& node : libburn::opticalDriveNodes()) {
        if (!find(node)) {
            offerUnopenable(node);
        }
    }
    startWatch();
}

void LibburnEngine::startWatch() {
    std::lock_guard lock(mutex_);
    if (watcher_.joinable()) {
        return;
    }
    // Without udev (a container, a system without it) the engine simply offers what it found.
    udev* context = udev_new();
    udev_monitor* monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    UniqueFd stopFd(::eventfd(0, EFD_CLOEXEC));
    if (!monitor || !stopFd ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", "disk") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor) {
            udev_monitor_unref(monitor);
        }
        if (context) {
            udev_unref(context);
        }
        return;
    }
    stopFd_ = stopFd.release();
    watcher_ = std::thread([this, context, monitor, fd = stopFd_] { watch(context, monitor, fd); });
}

void LibburnEngine::watch(udev* context, udev_monitor* monitor, int stopFd) {
    pollfd fds[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        udev_device* device = udev_monitor_receive_device(monitor);
        if (!device) {
            continue;
        }
        const char* cdrom = udev_device_get_property_value(device, "ID_CDROM");
        const char* node = udev_device_get_devnode(device);
        const char* action = udev_device_get_action(device);
        if (cdrom && std::strcmp(cdrom, "1") == 0 && node && action) {
            deviceEvent(action, node);
        }
        udev_device_unref(device);
    }
    udev_monitor_unref(monitor);
    udev_unref(context);
}

bool LibburnEngine::watchingHotPlug() const {
    std::lock_guard lock(mutex_);
    return watcher_.joinable();
}

void LibburnEngine::deviceEvent(const std::string& action, const std::string& address) {
    if (action == "remove") {
        removeRecorder(address);
        withdrawUnopenable(address);
    } else if (action == "add" || action == "change") {
        if (auto recorder = find(address)) {
            recorder->refreshStatus();
        } else if (addRecorder(address)) {
            withdrawUnopenable(address);  // the user may open it now
        } else {
            offerUnopenable(address);
        }
    }
}

void LibburnEngine::stop() {
    std::thread watcher;
    UniqueFd stopFd;
    {
        std::lock_guard lock(mutex_);
        watcher.swap(watcher_);
        stopFd.reset(std::exchange(stopFd_, -1));
    }
    if (watcher.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stopFd.get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
            Log::write("libburn recorder: the udev watch could not be told to stop");
        }
        watcher.join();
    }
    stopFd.reset();
    std::vector<std::shared_ptr<LibburnRecorder>> recorders;
    {
        std::lock_guard lock(mutex_);
        recorders.swap(recorders_);
    }
    for (const auto& recorder : recorders) {
        DeviceRegistry::deviceDisappeared(recorder);
        recorder->waitForOperations();
    }
    std::vector<std::shared_ptr<DRDevice>> unopenable;
    {
        std::lock_guard lock(mutex_);
        unopenable.swap(unopenable_);
    }
    for (const auto& drive : unopenable) {
        DeviceRegistry::deviceDisappeared(drive);
    }
}

void LibburnEngine::offerUnopenable(const std::string& node) {
    auto reason = libburn::whyUnopenable(node);
    if (!reason) {
        return;
    }
    auto drive = std::make_shared<libburn::UnopenableDrive>(node, *reason);
    {
        std::lock_guard lock(mutex_);
        for (const auto& other : unopenable_) {
            if (static_cast<const libburn::UnopenableDrive&>(*other).node() == node) {
                return;
            }
        }
        unopenable_.push_back(drive);
    }
    DeviceRegistry::deviceAppeared(drive);
}

void LibburnEngine::withdrawUnopenable(const std::string& node) {
    std::shared_ptr<DRDevice> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(unopenable_.begin(), unopenable_.end(), [&](const auto& drive) {
            return static_cast<const libburn::UnopenableDrive&>(*drive).node() == node;
        });
        if (it == unopenable_.end()) {
            return;
        }
        removed = *it;
        unopenable_.erase(it);
    }
    DeviceRegistry::deviceDisappeared(removed);
}

std::shared_ptr<LibburnRecorder> LibburnEngine::find(const std::string& address) const {
    std::lock_guard lock(mutex_);
    for (const auto& recorder : recorders_) {
        if (recorder->address() == address) {
            return recorder;
        }
    }
    return nullptr;
}

void LibburnEngine::removeRecorder(const std::string& address) {
    std::shared_ptr<LibburnRecorder> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(recorders_.begin(), recorders_.end(), [&](const auto& recorder) {
            return recorder->address() == address;
        });
        if (it == recorders_.end()) {
            return;
        }
        removed = *it;
        recorders_.erase(it);
    }
    DeviceRegistry::deviceDisappeared(removed);
}

std::shared_ptr<LibburnRecorder> LibburnEngine::addRecorder(const std::string& address) {
    if (auto known = find(address)) {
        return known;
    }
    auto recorder = LibburnRecorder::open(address);
    if (!recorder) {
        return nullptr;
    }
    {
        std::lock_guard lock(mutex_);
        // The udev watch and the host may add the same drive at once: the first one stays.
        for (const auto& other : recorders_) {
            if (other->address() == address) {
                return other;
            }
        }
        recorders_.push_back(recorder);
    }
    DeviceRegistry::deviceAppeared(recorder);
    return recorder;
}

std::vector<std::shared_ptr<LibburnRecorder>> LibburnEngine::recorders() const {
    std::lock_guard lock(mutex_);
    return recorders_;
}

}  // namespace kilnware::platform
