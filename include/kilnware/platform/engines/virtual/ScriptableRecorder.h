#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DRMediaInfo.h>

namespace kilnware::platform {

class WorkerThreads;

// The medium in a scriptable recorder. Absent texts leave their keys out of the status.
struct KILNWARE_EXPORT ScriptedMedium {
    std::optional<std::string> state = std::string(DRDeviceMediaStateMediaPresent);
    std::optional<std::string> type = std::string(DRDeviceMediaTypeCDR);
    std::uint64_t blocksFree = 359'848;
    std::uint64_t blocksUsed = 0;
    std::uint64_t blocksOverwritable = 359'848;
    std::int32_t framesFree = 359'848;
    std::int32_t framesUsed = 0;
    std::int32_t framesOverwritable = 359'848;
    bool erasable = false;
    bool overwritable = false;
    // What it holds, as DRMediaInfo has it, and whether a session can be added (none: while no
    // block is used).
    std::vector<DRMediaSession> sessions;
    std::optional<std::string> content;
    std::optional<std::string> fileSystem;
    std::optional<std::string> volumeName;
    std::optional<bool> appendable;

    static ScriptedMedium blankCDR();
    // A medium of `type` holding `count` ISO 9660 sessions of 1000 blocks, the newest named
    // "PHOTOS", left open for more or closed.
    static ScriptedMedium withSessions(const char* type, unsigned count, bool open);
    static ScriptedMedium blankCDRW();
    static ScriptedMedium blankDVDR();
    static ScriptedMedium none();          // the media state says no medium
    static ScriptedMedium inTransition();  // the drive is still reading the medium
};

// A recorder that lives in the process and does what its test tells it: it appears, disappears,
// changes its medium or busy state, and ends its next burn or erase in success or with a given
// error. A burn runs on a thread of its own and reports only through the run loop; the recorder
// keeps what every burn was given, for the test to look at.
class KILNWARE_EXPORT ScriptableRecorder : public DRDevice {
public:
    struct Burn {
        Value layout;
        std::vector<std::shared_ptr<DRTrack>> tracks;
        bool verify = false;
        Dictionary properties;
    };

    static std::shared_ptr<ScriptableRecorder> create(std::string displayName,
                                                      std::string interconnect = "USB",
                                                      ScriptedMedium medium = ScriptedMedium());
    ~ScriptableRecorder() override;

    // Announces the recorder to the engine's observers, or withdraws it.
    void appear();
    void disappear();

    void setMedium(ScriptedMedium medium);
    void setBusy(bool busy);
    // Replace the whole info or status dictionary, for recorders that leave keys out.
    void setInfo(std::optional<Dictionary> info);
    void setStatus(std::optional<Dictionary> status);
    void setEjectAnswer(bool accepted);

    void failNextBurn(std::string errorText);
    void failNextErase(std::string errorText);
    // How long a burn or erase takes; it reports progress on the way.
    void setOperationDuration(std::chrono::milliseconds duration);

    std::vector<Burn> burns() const;
    std::size_t eraseCount() const;
    std::size_t ejectRequests() const;
    // Blocks until every burn and erase started so far has ended on its thread.
    void waitForOperations();

    // DRDevice
    std::string displayName() const override;
    Dictionary info() const override;
    Dictionary status() const override;
    bool ejectMedia() override;
    void startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) override;
    void startErase(const std::shared_ptr<DRErase>& erase) override;

    ScriptableRecorder(std::string displayName, std::string interconnect, ScriptedMedium medium);

private:
    void statusChanged();
    void run(const std::shared_ptr<DROperation>& operation, std::optional<std::string> failure,
             const char* workingState);

    mutable std::mutex mutex_;
    std::string displayName_;
    std::string interconnect_;
    ScriptedMedium medium_;
    bool busy_ = false;
    std::optional<Dictionary> infoOverride_;
    std::optional<Dictionary> statusOverride_;
    bool ejectAnswer_ = true;
    std::optional<std::string> nextBurnFailure_;
    std::optional<std::string> nextEraseFailure_;
    std::chrono::milliseconds duration_{20};
    std::vector<Burn> burns_;
    std::size_t erases_ = 0;
    std::size_t ejects_ = 0;
    std::unique_ptr<WorkerThreads> workers_;  // declared last: joined first
};

}  // namespace kilnware::platform
