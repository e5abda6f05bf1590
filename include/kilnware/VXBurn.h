#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/foundation/FileManager.h>
#include <kilnware/platform/foundation/NotificationCenter.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/Task.h>
#include <kilnware/platform/foundation/Value.h>
#include <kilnware/platform/panels/Panels.h>

namespace kilnware {
namespace platform {
class WorkRecord;
}
namespace video {
enum class Step;
}

class VXAdd;

// The burn controller: the one object through which a host burns and erases discs. Create it with
// std::make_shared and keep it as long as you burn; its outcome reaches you as the notices
// BurnSucceed and BurnFailed, with the controller as object. Everything runs on the thread that
// runs the main run loop.
class KILNWARE_EXPORT VXBurn : public platform::Object,
                               public platform::DRSetupPanelDelegate,
                               public platform::DRBurnProgressPanelDelegate,
                               public platform::DREraseProgressPanelDelegate {
public:
    VXBurn() = default;
    // Withdraws every registration, so that no notice reaches a controller that is gone.
    ~VXBurn() override;

    using PathList = std::vector<std::string>;

    // An audio CD, one track per file in the list's order. `Info` is the host's track info list
    // (null for none): one TrackInfoClass record per path, which the burn rewrites in place into
    // the disc property dictionary followed by one track property dictionary per track.
    void burnToAudioCD(const PathList& paths, platform::List* Info);
    // Attaches a CD-Text block made from every dictionary of the list to the burn, when the disc
    // property dictionary at element 0 enables it.
    void setBurnProperties(const std::shared_ptr<platform::DRBurn>& burn, platform::List* Info);
    // The value under `key` in element 0 of the list; none without a key, a list or a dictionary.
    platform::Value discPropertyForKey(const std::optional<std::string>& key,
                                       const platform::List* Info) const;

    // A data disc of the files and folders in the list, in one file system: `kindOfData` 0 for
    // ISO 9660, 1 Joliet, 2 UDF, 3 HFS+; any other value burns nothing. The disc is named by
    // `discName`, or "Data Disc".
    void burnDataToDisc(const PathList& paths, const std::optional<std::string>& discName,
                        std::int32_t kindOfData);
    // The data track that burnDataToDisc burns for the same arguments, laid out now from what
    // stands on disk, so that a host can show its size (estimateLength() blocks of 2048 bytes)
    // against the medium before it burns. Null, with `why` in words for a person, where
    // burnDataToDisc would refuse.
    static std::shared_ptr<platform::DRTrack> dataDiscLayout(
        const PathList& paths, const std::optional<std::string>& discName, std::int32_t kindOfData,
        std::string& why);
    // An MP3 CD: the files and folders in one Joliet data track named by the title; the disc is
    // verified after writing when `isverifyDisc` holds.
    void burnToMp3CD(const PathList& paths, const std::optional<std::string>& Title,
                     bool isverifyDisc);

    // A video DVD from MPEG files: authored into a DVD-video folder beside the first file, imaged,
    // and burned. The folder, the project file and the image go after a successful burn.
    void BurnToVideoDVD(const PathList& paths, const std::optional<std::string>& Title);
    // Where the MPEG route does its work for a first MPEG file: the DVD-video folder, the project
    // file and the image, as absolute paths. A host keeps its own files out of them.
    static std::vector<std::string> videoWorkPaths(const std::string& firstMpegPath);
    // A video DVD from a prepared DVD-video folder: imaged beside the folder and burned.
    void BurnTsFolderToDVD(const std::optional<std::string>& folder,
                           const std::optional<std::string>& Title);
    // Runs the authoring tool on a project file and waits for it.
    void mpgToTsFolder(const std::string& projectPath);
    // Runs the disk-image tool and waits for it; returns `imagePath` whatever the tool did.
    std::string tsFolderToISO(const std::string& imagePath, const std::string& folder,
                              const std::string& title);

    // The burn session: the setup panel, then the progress panel showing `description`.
    void burnLayout(const platform::Value& layout, const std::string& description);

    // Erases rewritable media; the erase setup panel comes back after every erase until the user
    // cancels it.
    void erase();
    void eraseCompleted(const platform::Notification* notice);

    // Delegate answers.
    void burnProgressPanelWillBegin(const platform::Notification& notice) override;
    bool burnDidFinish(platform::DRBurnProgressPanel& panel,
                       const std::shared_ptr<platform::DRBurn>& burn) override;
    void burnProgressPanelDidFinish(const platform::Notification& notice) override;
    bool deviceCouldBeTarget(platform::DRSetupPanel& panel,
                             const std::shared_ptr<platform::DRDevice>& device) override;
    bool deviceContainsSuitableMedia(platform::DRSetupPanel& panel,
                                     const std::shared_ptr<platform::DRDevice>& device,
                                     std::optional<std::string>& promptString) override;
    bool eraseDidFinish(platform::DREraseProgressPanel& panel,
                        const std::shared_ptr<platform::DRErase>& erase) override;

    // What the latest call of an entry point (or of erase) came to, for the host to tell its user.
    // The library's log lines stay as they are; this says the same to a host in words for a
    // person, and says why where a log line says only that something is nil.
    struct CallOutcome {
        enum class Kind {
            None,       // no entry point has been called yet
            Began,      // a burn (or erase) began: BurnSucceed or BurnFailed follows
            Cancelled,  // the setup panel was cancelled
            Refused,    // nothing will be burned, and `reason` says why
        };
        Kind kind = Kind::None;
        std::string reason;
    };
    const CallOutcome& lastCall() const { return lastCall_; }
    // Why the layout an entry point is about to burn falls short, while its setup panel runs: an
    // audio file that gives no track, a selection that gives no data track. The library still runs
    // the panel then (its burn would fail); a host's panel may show this and refuse. None when the
    // layout is whole; it stays until the next call.
    const std::optional<std::string>& layoutProblem() const { return layoutProblem_; }
    // Why the latest burn of this controller failed, in words for a person; none after a success
    // or before the first outcome. Read it when BurnFailed arrives.
    const std::optional<std::string>& lastBurnError() const { return lastBurnError_; }
    // Whether the latest burn that failed was cancelled (asked to stop) rather than failed.
    bool lastBurnWasCancelled() const { return lastBurnWasCancelled_; }

    // The layout the latest entry point call burns, from just before its setup panel runs until
    // the next call; none where the call made no layout. A host's panel measures it against each
    // recorder (measureLayout) to say what will be written and whether it fits.
    const platform::Value& pendingLayout() const { return pendingLayout_; }

    // A layout's size before it is burned, and how it measures against a recorder's medium, in
    // the units discs are sold in: a CD's megabytes of 2^20 bytes ("702 MB" on an 80-minute CD-R)
    // or, for audio, its minutes and seconds ("79:57"); gigabytes of 10^9 bytes from 1 GB on
    // ("4.7 GB" on a DVD-R). A size is rounded up, the room on a medium down, so that a layout
    // shown larger than the room never fits.
    struct LayoutMeasure {
        std::uint64_t sectors = 0;  // of the disc, as DRBurn::sectorsOfLayout counts them
        std::uint64_t bytes = 0;    // written: 2352 a sector of audio, 2048 of data
        bool audio = false;         // every track is audio: the size is a playing time
        std::string size;           // "798 MB", "4.9 GB"; for audio "74:13"
        // What the layout is called: its data track's volume name, else "The audio CD" or "The
        // disc".
        std::string name;
        // Measured against a recorder with a medium: the medium's name ("CD-R"; "disc" for one of
        // no known type), its free sectors, what they hold ("702 MB (80 min)"; for audio "79:57"),
        // and whether the layout fits. Without a medium `medium` is none and `fits` true.
        std::optional<std::string> medium;
        std::uint64_t room = 0;
        std::string roomText;
        bool fits = true;
        // Why it does not fit, in words for a person ("Holiday does not fit: 798 MB, the CD-R
        // holds 702 MB (80 min)."); none when it fits.
        std::optional<std::string> problem;
    };
    // Measures `layout`, against the medium in `device` when one is given.
    static LayoutMeasure measureLayout(const platform::Value& layout,
                                       const platform::DRDevice* device = nullptr);

    // The controller's fields. A new controller has every field empty.
    std::shared_ptr<VXAdd> m_CDAdd;
    std::shared_ptr<platform::Task> m_VideoTask;
    bool burning = false;
    platform::List trackArray;
    std::shared_ptr<platform::FileManager> fm;
    std::string folderpath;
    std::string xmlPath;
    std::string isoPath;

private:
    std::shared_ptr<VXBurn> strongSelf() const;
    // The outcome of the running entry point call.
    void startCall();
    void refuse(std::string reason);
    // Logs `line` and refuses with it as the reason.
    void refuseWithLine(const std::string& line);
    // Runs a burn setup panel for `layout`; false, with the call's outcome set, when it was not
    // confirmed.
    bool confirmed(platform::DRSetupPanel& panel, const platform::Value& layout);
    // Why the last tool run failed, from what it printed.
    std::string toolFailure(const std::string& what) const;
    void removeTemporaryVideoFiles();
    // Starts the progress panel of a confirmed burn session.
    void beginBurn(const std::shared_ptr<platform::DRBurn>& burn, const platform::Value& layout,
                   const std::string& description);
    // Makes room at the work paths of a video route; false, after one log line, when something
    // stands there that the record does not prove to be an earlier run's work.
    bool clearLeftovers(platform::WorkRecord& record, const platform::FileManager& manager,
                        std::initializer_list<const std::string*> paths);
    std::shared_ptr<platform::WorkRecord> takeWorkRecord(const std::string& image);
    bool writeProject(platform::WorkRecord& record, const PathList& paths);
    // Records what a tool made at `path`; when that fails, the route's work goes and the route
    // is refused.
    bool rememberVideoWork(platform::WorkRecord& record, const std::string& path);
    bool rememberImage(platform::WorkRecord& record);
    void discardVideoWork(platform::WorkRecord& record);
    void cancelVideoWork(platform::WorkRecord& record);
    void runVideoTask(video::Step step);
    // A video route's work begins: nothing of an earlier one's tools counts any more.
    void beginVideoWork();
    // Whether the running video route was told to stop: its tool ended by terminate(), or
    // Task::terminateAll called (a host's signal) since the route began.
    bool stopped() const;
    // Reaches `step`; true, with the route's work gone and the call cancelled, when it was told to
    // stop.
    bool stopsAt(video::Step step, platform::WorkRecord& record);
    bool videoRouteMayStart();
    void burnImage(std::shared_ptr<platform::WorkRecord> record, const char* noLayoutLine,
                   std::optional<std::string> noImage = std::nullopt);

    // The proof of what the running video burn made, locked until its burn ends; the temporary
    // video files go after a successful burn only while this (or the record on disk) proves them.
    std::shared_ptr<platform::WorkRecord> videoRecord_;
    bool videoToolTerminated_ = false;
    // Task::terminateAll's count when the running video route began.
    unsigned stopMark_ = 0;
    // Burns handed to a progress panel whose outcome has not arrived yet.
    int burnsInFlight_ = 0;
    CallOutcome lastCall_;
    std::optional<std::string> layoutProblem_;
    platform::Value pendingLayout_;
    std::optional<std::string> lastBurnError_;
    // Burns begun with a layout that fell short, and why, until their outcome.
    std::vector<std::pair<std::weak_ptr<platform::DRBurn>, std::string>> burnsWithProblems_;
    bool lastBurnWasCancelled_ = false;
    // The last lines the latest tool run printed, and how it ended.
    std::vector<std::string> toolLines_;
    std::optional<int> toolStatus_;
};

}  // namespace kilnware
