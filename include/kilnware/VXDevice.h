#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/foundation/AtomicText.h>
#include <kilnware/platform/foundation/NotificationCenter.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware {

// The device monitor. It follows the recorders that the engine announces and, on every status
// change or disappearance, rebuilds a snapshot of the last listed recorder and its medium, then
// posts UpDateDeviceInfo with itself as object. Create it with std::make_shared on the thread whose
// run loop should deliver the engine's notices, as a rule the main thread.
//
// Each property's get and set is indivisible, so other threads may read them; the snapshot as a
// whole is consistent only on the monitor's thread, for instance in an UpDateDeviceInfo observer.
// A text property may be absent (std::nullopt), which is not the same as empty.
class KILNWARE_EXPORT VXDevice : public platform::Object {
public:
    using Text = std::optional<std::string>;

    // Sets the defaults and subscribes to the engine's disappearances and appearances.
    VXDevice();
    // Withdraws every subscription, so that no notice reaches a monitor that is gone.
    ~VXDevice() override;

    void awakeFromNib();
    // Lists the recorder and subscribes to its status; refreshes nothing.
    void deviceAppeared(const platform::Notification& notice);
    // Unsubscribes, unlists every entry of the recorder and refreshes.
    void deviceDisappeared(const platform::Notification& notice);
    void deviceStateChanged(const platform::Notification& notice);
    // Rebuilds the snapshot from every listed recorder and posts UpDateDeviceInfo.
    void updateDeviceInfo();
    // A count of 2048-byte blocks as a decimal size, such as "736.97 MB".
    static std::string getSizeOfDisc(std::uint64_t blocks);
    // Asks the earliest listed recorder to eject; NO when the last refresh found none.
    bool ejectMedia();

    bool m_deviceIsBusy() const { return deviceIsBusy_; }
    void setM_deviceIsBusy(bool value) { deviceIsBusy_ = value; }
    bool m_DeviceCanEject() const { return deviceCanEject_; }
    void setM_DeviceCanEject(bool value) { deviceCanEject_ = value; }
    bool m_MediaIsOverWritable() const { return mediaIsOverWritable_; }
    void setM_MediaIsOverWritable(bool value) { mediaIsOverWritable_ = value; }
    bool m_MediaIsEarsable() const { return mediaIsEarsable_; }
    void setM_MediaIsEarsable(bool value) { mediaIsEarsable_ = value; }

    Text m_connection() const { return connection_.load(); }
    void setM_connection(Text value) { connection_.store(std::move(value)); }
    Text m_deviceName() const { return deviceName_.load(); }
    void setM_deviceName(Text value) { deviceName_.store(std::move(value)); }
    Text m_MediaType() const { return mediaType_.load(); }
    void setM_MediaType(Text value) { mediaType_.store(std::move(value)); }
    Text m_BlocksFree() const { return blocksFree_.load(); }
    void setM_BlocksFree(Text value) { blocksFree_.store(std::move(value)); }
    Text m_BlocksUsed() const { return blocksUsed_.load(); }
    void setM_BlocksUsed(Text value) { blocksUsed_.store(std::move(value)); }
    Text m_BlocksTotal() const { return blocksTotal_.load(); }
    void setM_BlocksTotal(Text value) { blocksTotal_.store(std::move(value)); }
    Text m_MediaTotalTime() const { return mediaTotalTime_.load(); }
    void setM_MediaTotalTime(Text value) { mediaTotalTime_.store(std::move(value)); }
    Text m_MediaUsedTime() const { return mediaUsedTime_.load(); }
    void setM_MediaUsedTime(Text value) { mediaUsedTime_.store(std::move(value)); }
    Text m_MediaFreeTime() const { return mediaFreeTime_.load(); }
    void setM_MediaFreeTime(Text value) { mediaFreeTime_.store(std::move(value)); }

    // The recorders announced and not withdrawn since, in order of announcement. Touch it on the
    // monitor's thread only.
    std::vector<std::shared_ptr<platform::DRDevice>> deviceList;

    // One recorder and its medium as the snapshot's properties show the last listed one: the
    // same texts, with the counts they are made of beside them. Without a medium the type is the
    // waiting text ("No Disc. Waiting for a disc to be inserted..."), the sizes "0" and the times
    // "00:00", each count 0.
    struct Snapshot {
        Text deviceName;
        Text connection;
        bool deviceIsBusy = false;
        bool deviceCanEject = false;
        bool mediaPresent = false;
        Text mediaType;  // "CDR", "DVDR"...
        bool mediaIsOverWritable = false;
        bool mediaIsEarsable = false;
        std::uint64_t blocksFree = 0;  // 2048-byte blocks
        std::uint64_t blocksUsed = 0;
        std::uint64_t blocksTotal = 0;
        Text blocksFreeText;  // getSizeOfDisc of the count: "736.97 MB"
        Text blocksUsedText;
        Text blocksTotalText;
        std::uint32_t framesFree = 0;  // 75 a second
        std::uint32_t framesUsed = 0;
        std::uint32_t framesTotal = 0;
        Text mediaFreeTime;  // "79:57"
        Text mediaUsedTime;
        Text mediaTotalTime;
    };
    // Every listed recorder, in order of announcement, as it is now. Call it on the monitor's
    // thread; the properties keep showing the last listed recorder only.
    std::vector<Snapshot> snapshots() const;
    static Snapshot snapshotOf(const platform::DRDevice& device);

private:
    void resetSnapshot();
    // The medium's fields as a recorder without a medium shows them: "0", NO and "00:00".
    void clearMedium();
    void readDevice(const platform::DRDevice& device);

    std::atomic<bool> deviceIsBusy_{false};
    std::atomic<bool> mediaIsOverWritable_{false};
    std::atomic<bool> mediaIsEarsable_{false};
    std::atomic<bool> deviceCanEject_{false};
    platform::AtomicText connection_{std::string("None")};
    platform::AtomicText deviceName_{std::string("NO Device")};
    platform::AtomicText mediaType_{std::string("None")};
    platform::AtomicText blocksFree_{std::string("0")};
    platform::AtomicText blocksUsed_{std::string("0")};
    platform::AtomicText blocksTotal_{std::string("0")};
    platform::AtomicText mediaTotalTime_{std::string("00:00")};
    platform::AtomicText mediaUsedTime_{std::string("00:00")};
    platform::AtomicText mediaFreeTime_{std::string("00:00")};
};

}  // namespace kilnware
