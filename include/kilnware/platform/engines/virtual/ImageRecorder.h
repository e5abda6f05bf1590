#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/Engine.h>

namespace kilnware::platform {

class WorkerThreads;

// A recorder for people without one: it burns to disc images in a folder that the host chooses.
//
// What a burn leaves in the folder, named after the disc (the data track's volume name, else the
// CD-Text title of the disc, else "Kilnware Disc"; made safe as a file name and numbered "NAME 2"
// when a file of that name is already there):
// - audio tracks: NAME.bin (raw CD audio, each track at least 4 seconds), NAME.cue, and with
//   CD-Text NAME.cdt (the CD-Text packs, which the cue sheet names);
// - one data or disc-image track: NAME.iso, the track's bytes as they are.
// Nothing is left behind by a burn that fails or is cancelled, and nothing is ever overwritten.
//
// The medium is a blank CD-R (80 minutes) unless told otherwise. After a burn it shows as written
// until the host ejects it; a fresh blank of the same kind arrives shortly after. A CD-RW, a DVD-RW
// and a BD-RE can be erased. A burn honours DRBurnVerifyDiscKey (the image is read back and its
// SHA-256 compared with what was written) and DRBurnRequestedSpeedKey (in kilobytes a second; none
// means as fast as the disk takes it). Its media are blank: a burn that asks to add a session
// (DRBurnAppendKey) is refused, as there is no earlier one to add to.
class KILNWARE_EXPORT ImageRecorder : public DRDevice {
public:
    // The blanks it can hold, each with its true capacity: CD-R and CD-RW of 80 minutes,
    // single-layer DVD-R, DVD+R and DVD-RW, a double-layer DVD-R, and 25 GB BD-R and BD-RE.
    enum class Medium { CDR, CDRW, DVDR, DVDPlusR, DVDRDualLayer, DVDRW, BDR, BDRE };
    // The medium a short name stands for ("cd-r", "cd-rw", "dvd-r", "dvd+r", "dvd-r-dl",
    // "dvd-rw", "bd-r", "bd-re"), and the names in that order.
    static std::optional<Medium> mediumNamed(const std::string& name);
    static std::vector<std::string> mediumNames();
    static constexpr const char* kDisplayName = "Kilnware Image Recorder";
    static constexpr const char* kInterconnect = "Virtual";

    static std::shared_ptr<ImageRecorder> create(std::string outputFolder = {},
                                                 Medium medium = Medium::CDR);
    ~ImageRecorder() override;

    // The folder is opened when it is set (or, if it is not there yet, by the next burn) and
    // burned into through that descriptor from then on: a link at its path that later leads
    // elsewhere, or a folder moved there, redirects nothing.
    void setOutputFolder(std::string folder);
    std::string outputFolder() const;

    // Puts a blank of this kind in the recorder now; later blanks are of the same kind. Refused
    // (false) while the recorder is busy.
    bool setMedium(Medium medium);
    Medium medium() const;
    // How long the recorder stays empty after an eject.
    void setMediumChangeDelay(std::chrono::milliseconds delay);
    // How long a quick erase takes; a complete one takes four times as long.
    void setEraseDuration(std::chrono::milliseconds duration);

    // The files the last successful burn made, image first.
    std::vector<std::string> lastImageFiles() const;

    // For tests: runs on the burn's thread with the image's path once it is written and before it
    // is read back for verification, so that a test can damage it.
    using VerifyHook = std::function<void(const std::string& imagePath)>;
    void setBeforeVerifyHook(VerifyHook hook);

    // Blocks until every burn, erase and medium change started so far has ended on its thread.
    void waitForOperations();

    // DRDevice
    std::string displayName() const override;
    Dictionary info() const override;
    Dictionary status() const override;
    bool ejectMedia() override;
    void startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) override;
    void startErase(const std::shared_ptr<DRErase>& erase) override;

    ImageRecorder(std::string outputFolder, Medium medium);

private:
    void statusChanged();
    void insertBlank();
    std::uint64_t capacity() const;

    // The folder opened once, for the burns' descriptors of it; -1 while it could not be.
    int openFolder();

    mutable std::mutex mutex_;
    std::string folder_;
    int folderFd_ = -1;
    Medium medium_;
    bool present_ = true;
    bool busy_ = false;
    std::uint64_t blocksUsed_ = 0;  // 0: blank
    std::chrono::milliseconds changeDelay_{500};
    std::chrono::milliseconds eraseDuration_{1000};
    std::vector<std::string> lastFiles_;
    VerifyHook verifyHook_;
    std::unique_ptr<WorkerThreads> workers_;  // declared last: joined first
};

// Offers one image recorder, which appears when the engine starts and disappears when it stops.
class KILNWARE_EXPORT ImageRecorderEngine : public Engine {
public:
    explicit ImageRecorderEngine(std::string outputFolder = {},
                                 ImageRecorder::Medium medium = ImageRecorder::Medium::CDR);
    std::string name() const override;
    void start() override;
    void stop() override;
    const std::shared_ptr<ImageRecorder>& recorder() const { return recorder_; }

private:
    std::shared_ptr<ImageRecorder> recorder_;
};

}  // namespace kilnware::platform
