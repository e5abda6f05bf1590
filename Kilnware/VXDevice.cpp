#include <kilnware/VXDevice.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include <kilnware/Constants.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DRMSF.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include <kilnware/platform/foundation/Log.h>

namespace kilnware {

using namespace platform;

namespace {
constexpr const char* kMediaTypeMarker = "DRDeviceMediaType";
constexpr const char* kNoDisc = "No Disc. Waiting for a disc to be inserted...";
constexpr const char* kDetecting = "Detecting Disk. Waiting for the drive...";
constexpr std::uint64_t kBlockSize = 2048;

// The engine's type texts read "DRDeviceMediaType" and a short name: keep the piece after the
// first marker, up to the next one. A text without the marker stays whole.
VXDevice::Text shortMediaType(VXDevice::Text type) {
    if (!type) {
        return type;
    }
    const std::string_view marker(kMediaTypeMarker);
    const std::size_t first = type->find(marker);
    if (first == std::string::npos) {
        return type;
    }
    const std::size_t start = first + marker.size();
    const std::size_t next = type->find(marker, start);
    return type->substr(start, next == std::string::npos ? std::string::npos : next - start);
}

// A block count as the engine reports it; a negative number is no count at all.
std::uint64_t blockCount(const Value& value) {
    if (std::holds_alternative<std::int64_t>(value.storage()) && value.int64Value() < 0) {
        return 0;
    }
    return value.uint64Value();
}

// A frame count as the engine reports it, signed 32-bit. A negative count means nothing and shows
// as no time rather than as the thousands of minutes its bits would read as unsigned; a count past
// 32 bits keeps the largest time DRMSF can hold instead of wrapping.
std::uint32_t frameCount(const Value& value) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (std::holds_alternative<std::uint64_t>(value.storage())) {
        return static_cast<std::uint32_t>(std::min(value.uint64Value(), kMax));
    }
    const std::int64_t frames = value.int64Value();
    if (frames < 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::min(static_cast<std::uint64_t>(frames), kMax));
}

std::string timeText(std::uint32_t frames) {
    return DRMSF::msfWithFrames(frames).descriptionWithFormat(VXTimeFormat);
}
}  // namespace

VXDevice::VXDevice() {
    DRNotificationCenter::currentRunLoopCenter()->addObserver(
        this, std::string(DRDeviceDisappearedNotification), nullptr,
        [this](const Notification& notice) { deviceDisappeared(notice); });
    DRNotificationCenter::currentRunLoopCenter()->addObserver(
        this, std::string(DRDeviceAppearedNotification), nullptr,
        [this](const Notification& notice) { deviceAppeared(notice); });
}

VXDevice::~VXDevice() {
    DRNotificationCenter::currentRunLoopCenter()->removeObserver(this);
}

void VXDevice::awakeFromNib() {}

void VXDevice::deviceAppeared(const Notification& notice) {
    auto device = notice.objectAs<DRDevice>();
    if (!device) {
        return;
    }
    deviceList.push_back(device);
    DRNotificationCenter::currentRunLoopCenter()->addObserver(
        this, std::string(DRDeviceStatusChangedNotification), device.get(),
        [this](const Notification& change) { deviceStateChanged(change); });
}

void VXDevice::deviceDisappeared(const Notification& notice) {
    auto device = notice.objectAs<DRDevice>();
    if (!device) {
        return;
    }
    DRNotificationCenter::currentRunLoopCenter()->removeObserver(
        this, std::string(DRDeviceStatusChangedNotification), device.get());
    std::erase(deviceList, device);
    updateDeviceInfo();
}

void VXDevice::deviceStateChanged(const Notification&) {
    updateDeviceInfo();
}

void VXDevice::resetSnapshot() {
    setM_DeviceCanEject(false);
    setM_deviceName("NO Device");
    setM_connection("None");
    setM_deviceIsBusy(false);
    setM_MediaType("None");
    clearMedium();
}

void VXDevice::clearMedium() {
    setM_BlocksFree("0");
    setM_BlocksUsed("0");
    setM_BlocksTotal("0");
    setM_MediaIsEarsable(false);
    setM_MediaIsOverWritable(false);
    setM_MediaTotalTime("00:00");
    setM_MediaUsedTime("00:00");
    setM_MediaFreeTime("00:00");
}

VXDevice::Snapshot VXDevice::snapshotOf(const DRDevice& device) {
    Snapshot snapshot;
    const Dictionary info = device.info();
    snapshot.deviceName = device.displayName();
    snapshot.connection = info[DRDevicePhysicalInterconnectKey].textValue();

    const Dictionary status = device.status();
    snapshot.deviceIsBusy = status[DRDeviceIsBusyKey].boolValue();
    snapshot.deviceCanEject = true;
    const Text state = status[DRDeviceMediaStateKey].textValue();
    snapshot.mediaPresent = state == DRDeviceMediaStateMediaPresent;
    if (!snapshot.mediaPresent) {
        snapshot.mediaType = state == DRDeviceMediaStateNone ? kNoDisc : kDetecting;
        snapshot.blocksFreeText = snapshot.blocksUsedText = snapshot.blocksTotalText = "0";
        snapshot.mediaFreeTime = snapshot.mediaUsedTime = snapshot.mediaTotalTime = "00:00";
        return snapshot;
    }
    const Value& media = status[DRDeviceMediaInfoKey];
    snapshot.blocksFree = blockCount(lookup(media, DRDeviceMediaBlocksFreeKey));
    snapshot.blocksUsed = blockCount(lookup(media, DRDeviceMediaBlocksUsedKey));
    snapshot.blocksTotal = blockCount(lookup(media, DRDeviceMediaBlocksOverwritableKey));
    snapshot.blocksFreeText = getSizeOfDisc(snapshot.blocksFree);
    snapshot.blocksUsedText = getSizeOfDisc(snapshot.blocksUsed);
    snapshot.blocksTotalText = getSizeOfDisc(snapshot.blocksTotal);
    snapshot.mediaType = shortMediaType(lookup(media, DRDeviceMediaTypeKey).textValue());
    snapshot.mediaIsOverWritable = lookup(media, DRDeviceMediaIsOverwritableKey).boolValue();
    snapshot.mediaIsEarsable = lookup(media, DRDeviceMediaIsErasableKey).boolValue();
    snapshot.framesFree = frameCount(lookup(media, DRDeviceMediaFreeSpaceKey));
    snapshot.framesUsed = frameCount(lookup(media, DRDeviceMediaUsedSpaceKey));
    snapshot.framesTotal = frameCount(lookup(media, DRDeviceMediaOverwritableSpaceKey));
    snapshot.mediaFreeTime = timeText(snapshot.framesFree);
    snapshot.mediaUsedTime = timeText(snapshot.framesUsed);
    snapshot.mediaTotalTime = timeText(snapshot.framesTotal);
    return snapshot;
}

std::vector<VXDevice::Snapshot> VXDevice::snapshots() const {
    std::vector<Snapshot> all;
    for (const auto& device : deviceList) {
        if (device) {
            all.push_back(snapshotOf(*device));
        }
    }
    return all;
}

void VXDevice::readDevice(const DRDevice& device) {
    const Snapshot snapshot = snapshotOf(device);
    setM_deviceName(snapshot.deviceName);
    setM_connection(snapshot.connection);
    setM_deviceIsBusy(snapshot.deviceIsBusy);
    setM_DeviceCanEject(snapshot.deviceCanEject);
    setM_MediaType(snapshot.mediaType);
    setM_BlocksFree(snapshot.blocksFreeText);
    setM_BlocksUsed(snapshot.blocksUsedText);
    setM_BlocksTotal(snapshot.blocksTotalText);
    setM_MediaIsOverWritable(snapshot.mediaIsOverWritable);
    setM_MediaIsEarsable(snapshot.mediaIsEarsable);
    setM_MediaTotalTime(snapshot.mediaTotalTime);
    setM_MediaUsedTime(snapshot.mediaUsedTime);
    setM_MediaFreeTime(snapshot.mediaFreeTime);
    if (snapshot.mediaPresent) {
        // An absent type logs as "%@" shows a missing object.
        Log::write(snapshot.mediaType ? *snapshot.mediaType : Value().description());
    }
}

void VXDevice::updateDeviceInfo() {
    // A recorder's own code runs below; the copy keeps the walk sound should it touch the list.
    const auto devices = deviceList;
    resetSnapshot();
    for (const auto& device : devices) {
        if (device) {
            readDevice(*device);
        }
    }
    Log::write("Sending UpDevice notification");
    NotificationCenter::defaultCenter().postNotificationName(UpDateDeviceInfo, self());
}

std::string VXDevice::getSizeOfDisc(std::uint64_t blocks) {
    char text[64];
    if (blocks > std::numeric_limits<std::uint64_t>::max() / kBlockSize) {
        // No engine reports such a disc, but the byte count would pass 64 bits: tell the true size
        // from the block count, without the single-precision step that would blur it.
        const long double terabytes = static_cast<long double>(blocks) * kBlockSize / 1e12L;
        std::snprintf(text, sizeof text, "%0.2Lf TB", terabytes);
        return text;
    }
    const std::uint64_t bytes = blocks * kBlockSize;
    struct Unit {
        std::uint64_t below;
        double divisor;
        const char* name;
    };
    static constexpr Unit kUnits[] = {{1'000, 0, "Byte"},
                                      {1'000'000, 1e3, "KB"},
                                      {1'000'000'000, 1e6, "MB"},
                                      {1'000'000'000'000, 1e9, "GB"},
                                      {std::numeric_limits<std::uint64_t>::max(), 1e12, "TB"}};
    const Unit* unit = std::find_if(std::begin(kUnits), std::end(kUnits) - 1,
                                    [bytes](const Unit& u) { return bytes < u.below; });
    double value = 0;
    if (unit != std::begin(kUnits)) {
        // Rounded to single precision and widened again: the printed digits depend on it.
        value = static_cast<double>(static_cast<float>(static_cast<double>(bytes) / unit->divisor));
    }
    std::snprintf(text, sizeof text, "%0.2f %s", value, unit->name);
    return text;
}

bool VXDevice::ejectMedia() {
    if (!m_DeviceCanEject() || deviceList.empty()) {
        return false;
    }
    const auto device = deviceList.front();
    return device && device->ejectMedia();
}

}  // namespace kilnware
