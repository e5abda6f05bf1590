// A recorder on a libburn drive: its cached status, and the burns, erases and ejects it runs on a
// thread of its own.

#include <kilnware/platform/engines/libburn/LibburnEngine.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

#include <kilnware/platform/discrecording/DRNotificationCenter.h>

#include "platform/engines/libburn/LibburnBurn.h"
#include "platform/engines/libburn/LibburnParts.h"
#include "platform/foundation/WorkerThreads.h"

namespace kilnware::platform {

using namespace burn;
using libburn::Drive;
using libburn::lastMessage;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

}  // namespace

const char* LibburnRecorder::mediaTypeForProfile(int profile) {
    return libburn::profileInfo(profile).type;
}

std::shared_ptr<LibburnRecorder> LibburnRecorder::open(const std::string& address) {
    // libburn takes a folder for a write-only stream, which no burn could open.
    constexpr std::string_view kStdio = "stdio:";
    std::error_code ignored;
    if (address.starts_with(kStdio) &&
        std::filesystem::is_directory(address.substr(kStdio.size()), ignored)) {
        return nullptr;
    }
    auto drive = Drive::grab(address, false);
    if (!drive) {
        lastMessage({});
        return nullptr;
    }
    // The null drive holds nothing. A file that may only be read is shown as a closed medium,
    // which can be read back and is refused for every burn with the reason.
    const int role = drive->role();
    if (role == 0) {
        return nullptr;
    }
    const burn_drive_info& info = drive->info();
    auto recorder = std::make_shared<LibburnRecorder>(
        address, std::string(info.vendor, strnlen(info.vendor, sizeof info.vendor)),
        std::string(info.product, strnlen(info.product, sizeof info.product)), role);
    // Pseudo-drives are files; a drive's bus is known to udev.
    recorder->interconnect_ =
        role == 1 ? libburn::interconnectOfDevice(address) : std::string("Pseudo-drive");
    recorder->readMedium(*drive);
    return recorder;
}

LibburnRecorder::LibburnRecorder(std::string address, std::string vendor, std::string product,
                                 int role)
    : address_(std::move(address)),
      vendor_(std::move(vendor)),
      product_(std::move(product)),
      role_(role),
      workers_(std::make_unique<WorkerThreads>()) {}

LibburnRecorder::~LibburnRecorder() {
    waitForOperations();
}

void LibburnRecorder::waitForOperations() {
    workers_->waitForAll();
}

void LibburnRecorder::spawn(std::function<void()> work) {
    workers_->waitForAll();  // the recorder was not busy, so the previous one is ending
    workers_->start(std::move(work));
}

void LibburnRecorder::statusChanged() {
    DeviceRegistry::deviceStatusChanged(selfAs<DRDevice>());
}

std::string LibburnRecorder::displayName() const {
    std::string name = vendor_;
    name.erase(name.find_last_not_of(' ') + 1);
    std::string product = product_;
    product.erase(product.find_last_not_of(' ') + 1);
    if (!product.empty()) {
        name += name.empty() ? product : " " + product;
    }
    return name.empty() || role_ != 1 ? address_ : name;
}

Dictionary LibburnRecorder::info() const {
    Dictionary info;
    info.set(DRDevicePhysicalInterconnectKey, interconnect_);
    info.set(DRDeviceVendorNameKey, vendor_);
    info.set(DRDeviceProductNameKey, product_);
    return info;
}

Dictionary LibburnRecorder::status() const {
    std::lock_guard lock(mutex_);
    Dictionary status = medium_;
    status.set(DRDeviceIsBusyKey, busy_);
    return status;
}

void LibburnRecorder::readMedium(const Drive& drive) {
    const libburn::MediumReading reading = libburn::readMedium(drive);
    Dictionary status;
    status.set(DRDeviceIsTrayOpenKey, false);
    if (reading.state == BURN_DISC_EMPTY) {
        status.set(DRDeviceMediaStateKey, DRDeviceMediaStateNone);
    } else if (reading.state == BURN_DISC_UNREADY || reading.state == BURN_DISC_UNGRABBED) {
        status.set(DRDeviceMediaStateKey, DRDeviceMediaStateInTransition);
    } else {
        status.set(DRDeviceMediaStateKey, DRDeviceMediaStateMediaPresent);
        status.set(DRDeviceMediaInfoKey, libburn::describeMedium(reading).dictionary());
        List speeds;
        for (std::uint64_t speed : libburn::writeSpeeds(drive)) {
            speeds.emplace_back(speed);
        }
        status.set(DRDeviceBurnSpeedsKey, std::move(speeds));
    }
    std::lock_guard lock(mutex_);
    medium_ = std::move(status);
}

void LibburnRecorder::refreshStatus() {
    {
        std::lock_guard lock(mutex_);
        if (busy_) {
            return;
        }
        busy_ = true;
    }
    finish(true);
}

bool LibburnRecorder::claim(std::string& error) {
    std::lock_guard lock(mutex_);
    if (busy_) {
        error = "The recorder " + address_ + " is busy.";
        return false;
    }
    busy_ = true;
    return true;
}

void LibburnRecorder::finish(bool readAgain) {
    if (readAgain) {
        if (auto drive = Drive::grab(address_, false)) {
            readMedium(*drive);
        } else {
            std::lock_guard lock(mutex_);
            medium_ = Dictionary();
            medium_.set(DRDeviceMediaStateKey, DRDeviceMediaStateNone);
        }
    }
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    statusChanged();
}

bool LibburnRecorder::ejectMedia() {
    std::string error;
    if (!claim(error)) {
        return false;
    }
    statusChanged();
    auto self = selfAs<LibburnRecorder>();
    spawn([self] {
        if (auto drive = Drive::grab(self->address_, false)) {
            drive->ejectOnRelease();
        }
        {
            std::lock_guard lock(self->mutex_);
            self->medium_ = Dictionary();
            self->medium_.set(DRDeviceMediaStateKey, DRDeviceMediaStateNone);
        }
        self->finish(false);
    });
    return true;
}

void LibburnRecorder::startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) {
    std::string error;
    if (!claim(error)) {
        burn->reportFailure(error);
        return;
    }
    statusChanged();
    auto self = selfAs<LibburnRecorder>();
    spawn([self, burn, layout] { self->runBurn(burn, layout); });
}

void LibburnRecorder::setBeforeVerifyHook(VerifyHook hook) {
    std::lock_guard lock(mutex_);
    verifyHook_ = std::move(hook);
}

void LibburnRecorder::runBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) {
    VerifyHook hook;
    {
        std::lock_guard lock(mutex_);
        hook = verifyHook_;
    }
    const std::string failure = libburn::burnLayout(address_, burn, layout, hook);
    // The recorder shows the medium as the burn left it before the burn reports its end.
    finish(true);
    if (failure.empty()) {
        burn->reportDone();
    } else {
        burn->reportFailure(failure);
    }
}

void LibburnRecorder::startErase(const std::shared_ptr<DRErase>& erase) {
    std::string error;
    if (!claim(error)) {
        erase->reportFailure(error);
        return;
    }
    statusChanged();
    auto self = selfAs<LibburnRecorder>();
    spawn([self, erase] { self->runErase(erase); });
}

void LibburnRecorder::runErase(const std::shared_ptr<DRErase>& erase) {
    const std::string failure = eraseMedium(*erase);
    finish(true);
    if (failure.empty()) {
        erase->reportDone();
    } else {
        erase->reportFailure(failure);
    }
}

std::string LibburnRecorder::eraseMedium(DRErase& erase) {
    auto drive = Drive::grab(address_, true);
    if (!drive) {
        return lastMessage("The recorder " + address_ + " could not be opened.");
    }
    lastMessage({});
    burn_drive* d = drive->get();
    const int profile = drive->profile();
    const bool complete = erase.eraseType() == DREraseTypeComplete;
    const auto method =
        drive->role() == 1 ? libburn::eraseMethod(profile, complete) : libburn::EraseMethod::None;
    const bool blank = burn_disc_get_status(d) == BURN_DISC_BLANK;
    switch (method) {
        case libburn::EraseMethod::None:
            if (drive->role() == 1 && libburn::eraseMethod(profile, true) != method) {
                return "A " + drive->profileName() +
                       " is written over in place and needs no quick erase; a complete erase "
                       "formats it anew.";
            }
            return "The medium in " + displayName() + " cannot be erased.";
        case libburn::EraseMethod::BlankFast:
        case libburn::EraseMethod::BlankFull:
            // A blank disc needs no fast blanking; a full one blanks it again, and DVD-RW formatted
            // for overwriting always says blank.
            if (blank && method == libburn::EraseMethod::BlankFast && profile != 0x13) {
                return {};
            }
            if (blank) {
                burn_disc_pretend_full(d);
            }
            if (burn_disc_erasable(d) != 1) {
                return lastMessage("The medium in " + displayName() + " cannot be erased.");
            }
            burn_disc_erase(d, method == libburn::EraseMethod::BlankFast ? 1 : 0);
            break;
        case libburn::EraseMethod::Format:
            // To the default size, anew even when it is formatted already.
            burn_disc_format(d, 0, (3 << 1) | (1 << 4));
            break;
    }
    drive->waitWhileSpawning();
    bool cancelled = false;
    burn_progress progress{};
    while (burn_drive_get_status(d, &progress) != BURN_DRIVE_IDLE) {
        // The drive finishes an erase once begun; a cancel is only heard when it is over.
        if (erase.abortRequested() && !cancelled) {
            burn_drive_cancel(d);
            cancelled = true;
        }
        Dictionary status;
        status.set(DRStatusStateKey, DRStatusStateErasing);
        status.set(
            DRStatusPercentCompleteKey,
            progress.sectors > 0 ? static_cast<double>(progress.sector) / progress.sectors : -1.0);
        erase.reportStatus(std::move(status));
        std::this_thread::sleep_for(kPollInterval);
    }
    if (cancelled || erase.abortRequested()) {
        return DROperation::kCancelledText;
    }
    if (burn_drive_wrote_well(d) != 1) {
        return lastMessage(method == libburn::EraseMethod::Format ? "The formatting failed."
                                                                  : "The erase failed.");
    }
    return {};
}

}  // namespace kilnware::platform
