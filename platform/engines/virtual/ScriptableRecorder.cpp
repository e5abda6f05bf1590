#include <kilnware/platform/engines/virtual/ScriptableRecorder.h>

#include <kilnware/platform/discrecording/DRMediaInfo.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>

#include "platform/foundation/WorkerThreads.h"

namespace kilnware::platform {

ScriptedMedium ScriptedMedium::blankCDR() {
    return ScriptedMedium();
}

ScriptedMedium ScriptedMedium::blankCDRW() {
    ScriptedMedium medium;
    medium.type = DRDeviceMediaTypeCDRW;
    medium.erasable = true;
    medium.overwritable = true;
    return medium;
}

ScriptedMedium ScriptedMedium::blankDVDR() {
    ScriptedMedium medium;
    medium.type = DRDeviceMediaTypeDVDR;
    medium.blocksFree = medium.blocksOverwritable = 2'295'104;
    medium.framesFree = medium.framesOverwritable = 2'295'104;
    return medium;
}

ScriptedMedium ScriptedMedium::withSessions(const char* type, unsigned count, bool open) {
    ScriptedMedium medium;
    medium.type = type;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint64_t start = i * 1000;
        medium.sessions.push_back(
            DRMediaSession{i + 1, start, 1000, {DRMediaTrack{i + 1, false, start, 1000}}});
    }
    medium.blocksUsed = count * 1000;
    medium.framesUsed = static_cast<std::int32_t>(medium.blocksUsed);
    medium.blocksFree = medium.blocksOverwritable = open ? 359'848 - medium.blocksUsed : 0;
    medium.framesFree = medium.framesOverwritable = static_cast<std::int32_t>(medium.blocksFree);
    medium.content = DRDeviceMediaContentISO9660;
    medium.fileSystem = "ISO 9660";
    medium.volumeName = "PHOTOS";
    medium.appendable = open;
    return medium;
}

ScriptedMedium ScriptedMedium::none() {
    ScriptedMedium medium;
    medium.state = DRDeviceMediaStateNone;
    medium.type.reset();
    medium.blocksFree = medium.blocksOverwritable = 0;
    medium.framesFree = medium.framesOverwritable = 0;
    return medium;
}

ScriptedMedium ScriptedMedium::inTransition() {
    ScriptedMedium medium = none();
    medium.state = DRDeviceMediaStateInTransition;
    return medium;
}

std::shared_ptr<ScriptableRecorder> ScriptableRecorder::create(std::string displayName,
                                                               std::string interconnect,
                                                               ScriptedMedium medium) {
    return std::make_shared<ScriptableRecorder>(std::move(displayName), std::move(interconnect),
                                                std::move(medium));
}

ScriptableRecorder::ScriptableRecorder(std::string displayName, std::string interconnect,
                                       ScriptedMedium medium)
    : displayName_(std::move(displayName)),
      interconnect_(std::move(interconnect)),
      medium_(std::move(medium)),
      workers_(std::make_unique<WorkerThreads>()) {}

ScriptableRecorder::~ScriptableRecorder() {
    waitForOperations();
}

void ScriptableRecorder::appear() {
    DeviceRegistry::deviceAppeared(selfAs<DRDevice>());
}

void ScriptableRecorder::disappear() {
    DeviceRegistry::deviceDisappeared(selfAs<DRDevice>());
}

void ScriptableRecorder::statusChanged() {
    DeviceRegistry::deviceStatusChanged(selfAs<DRDevice>());
}

void ScriptableRecorder::setMedium(ScriptedMedium medium) {
    {
        std::lock_guard lock(mutex_);
        medium_ = std::move(medium);
    }
    statusChanged();
}

void ScriptableRecorder::setBusy(bool busy) {
    {
        std::lock_guard lock(mutex_);
        busy_ = busy;
    }
    statusChanged();
}

void ScriptableRecorder::setInfo(std::optional<Dictionary> info) {
    std::lock_guard lock(mutex_);
    infoOverride_ = std::move(info);
}

void ScriptableRecorder::setStatus(std::optional<Dictionary> status) {
    {
        std::lock_guard lock(mutex_);
        statusOverride_ = std::move(status);
    }
    statusChanged();
}

void ScriptableRecorder::setEjectAnswer(bool accepted) {
    std::lock_guard lock(mutex_);
    ejectAnswer_ = accepted;
}

void ScriptableRecorder::failNextBurn(std::string errorText) {
    std::lock_guard lock(mutex_);
    nextBurnFailure_ = std::move(errorText);
}

void ScriptableRecorder::failNextErase(std::string errorText) {
    std::lock_guard lock(mutex_);
    nextEraseFailure_ = std::move(errorText);
}

void ScriptableRecorder::setOperationDuration(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    duration_ = duration;
}

std::vector<ScriptableRecorder::Burn> ScriptableRecorder::burns() const {
    std::lock_guard lock(mutex_);
    return burns_;
}

std::size_t ScriptableRecorder::eraseCount() const {
    std::lock_guard lock(mutex_);
    return erases_;
}

std::size_t ScriptableRecorder::ejectRequests() const {
    std::lock_guard lock(mutex_);
    return ejects_;
}

void ScriptableRecorder::waitForOperations() {
    workers_->waitForAll();
}

std::string ScriptableRecorder::displayName() const {
    std::lock_guard lock(mutex_);
    return displayName_;
}

Dictionary ScriptableRecorder::info() const {
    std::lock_guard lock(mutex_);
    if (infoOverride_) {
        return *infoOverride_;
    }
    Dictionary info;
    info.set(DRDevicePhysicalInterconnectKey, interconnect_);
    info.set(DRDeviceVendorNameKey, "Kilnware");
    info.set(DRDeviceProductNameKey, displayName_);
    return info;
}

Dictionary ScriptableRecorder::status() const {
    std::lock_guard lock(mutex_);
    if (statusOverride_) {
        return *statusOverride_;
    }
    Dictionary status;
    status.set(DRDeviceIsBusyKey, busy_);
    status.set(DRDeviceMediaStateKey, medium_.state);
    if (medium_.state == DRDeviceMediaStateMediaPresent) {
        DRMediaInfo media;
        media.type = medium_.type;
        media.blocksFree = medium_.blocksFree;
        media.blocksUsed = medium_.blocksUsed;
        media.blocksOverwritable = medium_.blocksOverwritable;
        media.framesFree = medium_.framesFree;
        media.framesUsed = medium_.framesUsed;
        media.framesOverwritable = medium_.framesOverwritable;
        media.blank = medium_.blocksUsed == 0;
        media.appendable = medium_.appendable.value_or(media.blank);
        media.erasable = medium_.erasable;
        media.overwritable = medium_.overwritable;
        media.sessions = medium_.sessions;
        media.content = medium_.content;
        media.fileSystem = medium_.fileSystem;
        media.volumeName = medium_.volumeName;
        status.set(DRDeviceMediaInfoKey, media.dictionary());
    }
    return status;
}

bool ScriptableRecorder::ejectMedia() {
    std::lock_guard lock(mutex_);
    ++ejects_;
    return ejectAnswer_;
}

void ScriptableRecorder::startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(mutex_);
        burns_.push_back(
            Burn{layout, DRBurn::tracksOfLayout(layout), burn->verifyDisc(), burn->properties()});
        failure.swap(nextBurnFailure_);
    }
    run(burn, std::move(failure), DRStatusStateTrackWrite);
}

void ScriptableRecorder::startErase(const std::shared_ptr<DRErase>& erase) {
    std::optional<std::string> failure;
    {
        std::lock_guard lock(mutex_);
        ++erases_;
        failure.swap(nextEraseFailure_);
    }
    run(erase, std::move(failure), DRStatusStateErasing);
}

void ScriptableRecorder::run(const std::shared_ptr<DROperation>& operation,
                             std::optional<std::string> failure, const char* workingState) {
    constexpr int kSteps = 4;
    static constexpr auto kAbortCheck = std::chrono::milliseconds(1);
    std::chrono::milliseconds step;
    {
        std::lock_guard lock(mutex_);
        step = duration_ / kSteps;
    }
    workers_->start([operation, failure = std::move(failure), workingState, step] {
        for (int i = 0; i < kSteps; ++i) {
            if (operation->abortRequested()) {
                operation->reportCancelled();
                return;
            }
            Dictionary status;
            status.set(DRStatusStateKey, workingState);
            status.set(DRStatusPercentCompleteKey, static_cast<double>(i) / kSteps);
            operation->reportStatus(std::move(status));
            // A cancel ends the wait, so that a test may give an operation all the time in the
            // world and cancel it when it is ready to, whatever the machine's speed.
            const auto until = std::chrono::steady_clock::now() + step;
            for (auto now = std::chrono::steady_clock::now();
                 now < until && !operation->abortRequested();
                 now = std::chrono::steady_clock::now()) {
                std::this_thread::sleep_for(
                    std::min<std::chrono::steady_clock::duration>(until - now, kAbortCheck));
            }
        }
        if (failure) {
            operation->reportFailure(*failure);
        } else {
            operation->reportDone();
        }
    });
}

}  // namespace kilnware::platform
