#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/DRDiscContents.h>
#include <kilnware/platform/discrecording/Engine.h>

// libudev's handles, for the hot-plug watch.
struct udev;
struct udev_monitor;

namespace kilnware::platform {

class WorkerThreads;

namespace libburn {
class Drive;
}

// A real recorder (or one of libburn's "stdio:" pseudo-drives), known by its persistent libburn
// address. The drive is grabbed only while the recorder reads its medium, burns or erases, so
// that other programs may use it in between. status() answers from what the recorder read last:
// when it was added, and after every burn, erase and refreshStatus(). The status also lists the
// write speeds the drive offers for its medium (DRDeviceBurnSpeedsKey); info() names the drive's
// bus as udev knows it ("USB", "ATA", "SCSI"...), or "Pseudo-drive".
//
// A burn honours DRBurnRequestedSpeedKey, simulates with DRBurnTestingKey where the medium allows
// it, and with DRBurnVerifyDiscKey reads its data tracks back and compares them with what it wrote
// (a write-only stream refuses such a burn before writing; audio is not compared).
// DREraseTypeQuick blanks CD-RW and DVD-RW fast, DREraseTypeComplete blanks them fully and formats
// DVD-RAM, DVD+RW and BD-RE anew.
class KILNWARE_EXPORT LibburnRecorder : public DRDevice {
public:
    // The recorder at `address`, with its medium read, or null when libburn cannot grab it.
    static std::shared_ptr<LibburnRecorder> open(const std::string& address);
    ~LibburnRecorder() override;

    const std::string& address() const { return address_; }
    // Reads the medium again (unless the recorder is busy) and tells of a change.
    void refreshStatus();
    // Blocks until the burn or erase under way has ended on its thread.
    void waitForOperations();

    // The engine's media type for an MMC profile number (burn_disc_get_profile).
    static const char* mediaTypeForProfile(int profile);

    // For tests: runs on the burn's thread with the recorder's address once the tracks are written
    // and before they are read back for verification, so that a test can damage them.
    using VerifyHook = std::function<void(const std::string& address)>;
    void setBeforeVerifyHook(VerifyHook hook);

    // DRDevice
    std::string displayName() const override;
    Dictionary info() const override;
    Dictionary status() const override;
    bool ejectMedia() override;
    // Read through the drive, which stays grabbed (the recorder busy) until the contents go.
    std::unique_ptr<DRDiscContents> contents(std::string& error) override;
    void startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) override;
    void startErase(const std::shared_ptr<DRErase>& erase) override;

    LibburnRecorder(std::string address, std::string vendor, std::string product, int role);

private:
    void statusChanged();
    // Claims the recorder for an operation; false (with `error`) when it is busy.
    bool claim(std::string& error);
    // Runs `work` on a thread of its own once the previous operation's thread has ended.
    void spawn(std::function<void()> work);
    void runBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout);
    void runErase(const std::shared_ptr<DRErase>& erase);
    // Erases on the calling thread; the failure text, or nothing.
    std::string eraseMedium(DRErase& erase);
    // Reads the medium of a grabbed drive into the cached status.
    void readMedium(const libburn::Drive& drive);
    void finish(bool readAgain);

    const std::string address_;
    const std::string vendor_;
    const std::string product_;
    const int role_;
    std::string interconnect_;  // as udev names the drive's bus; set once, when opened
    mutable std::mutex mutex_;
    bool busy_ = false;
    Dictionary medium_;  // the status less the busy flag
    VerifyHook verifyHook_;
    std::unique_ptr<WorkerThreads> workers_;  // declared last: joined first
};

// Offers the optical drives that libburn finds when it starts, and the recorders added by address.
// While started it follows udev: a drive that appears is added, one that goes is withdrawn, and a
// medium change makes the recorder read its medium again. A drive udev knows of that the user may
// not open is offered too, as a recorder whose status says why (DRDeviceUnavailableReasonKey:
// "no permission: add yourself to the cdrom group"), instead of vanishing.
class KILNWARE_EXPORT LibburnEngine : public Engine {
public:
    LibburnEngine();
    ~LibburnEngine() override;
    // Starts libburn and libisofs, as the first start() or image reading would. While they start
    // they set the process's character type (setlocale), which no other thread may read at that
    // moment: a host that runs the library on a thread of its own, beside threads of its own that
    // read the locale, calls this first, while it is alone. False when they cannot start.
    static bool prepare();
    std::string name() const override;
    void start() override;
    void stop() override;

    // Adds and announces the recorder at a libburn address ("/dev/sr0", "stdio:/path/file"); the
    // one already there when the address is known. Null when libburn cannot grab it.
    std::shared_ptr<LibburnRecorder> addRecorder(const std::string& address);
    // Withdraws the recorder at `address`, if there is one.
    void removeRecorder(const std::string& address);
    std::vector<std::shared_ptr<LibburnRecorder>> recorders() const;
    // What the udev watch does for an event on a drive: "add" adds the recorder, "remove" withdraws
    // it, "change" (a medium came or went) reads its medium again. For hosts with a watch of their
    // own, and for tests.
    void deviceEvent(const std::string& action, const std::string& address);
    // Whether the udev watch is running (it is not where udev cannot be reached).
    bool watchingHotPlug() const;
    // What the disc image (or block device) at `path` holds, read as a recorder reads its medium:
    // plain images, and files holding sessions as xorriso lays them out. Null, with `error`, when
    // it cannot be read.
    static std::unique_ptr<DRDiscContents> contentsOfImage(const std::string& path,
                                                           std::string& error);

private:
    void startWatch();
    void watch(::udev* context, ::udev_monitor* monitor, int stopFd);
    std::shared_ptr<LibburnRecorder> find(const std::string& address) const;
    // Offers the drive at `node` as one the user may not open, when that is why libburn cannot.
    void offerUnopenable(const std::string& node);
    void withdrawUnopenable(const std::string& node);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<LibburnRecorder>> recorders_;
    std::vector<std::shared_ptr<DRDevice>> unopenable_;  // drives the user may not open
    std::thread watcher_;
    int stopFd_ = -1;  // an eventfd that ends the watch
};

}  // namespace kilnware::platform
