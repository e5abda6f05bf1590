#include <kilnware/VXBurn.h>

#include <sys/stat.h>

#include <filesystem>
#include <string_view>

#include <kilnware/platform/foundation/Log.h>

#include "Kilnware/VideoWork.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/TaskStops.h"
#include "platform/foundation/WorkRecord.h"

namespace kilnware {

using namespace platform;

namespace {
constexpr const char* kAuthoringTool = "/Users/user/Desktop/dvdauthor";
constexpr const char* kImageTool = "/usr/bin/hdiutil";
constexpr const char* kDefaultVolumeName = "Video DVD";
constexpr const char* kBurnDescription = "Burn Video DVD";

std::string absolutePath(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

std::string parentFolder(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool isFolder(const std::string& path) {
    bool folder = false;
    return FileManager::defaultManager()->fileExistsAtPath(path, &folder) && folder;
}

std::string withoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}
}  // namespace

bool VXBurn::videoRouteMayStart() {
    // A running burn reads the work paths when it ends; replacing them now would have it remove
    // the new route's files, or this route remove what that burn still reads.
    if (burnsInFlight_ > 0) {
        refuseWithLine("A burn of this controller is still running: the video DVD was not started");
        return false;
    }
    return true;
}

bool VXBurn::clearLeftovers(WorkRecord& record, const FileManager& manager,
                            std::initializer_list<const std::string*> paths) {
    // Everything is checked before anything is removed.
    for (const std::string* path : paths) {
        struct stat info {};
        if (::lstat(path->c_str(), &info) == 0 && !record.proves(*path)) {
            refuseWithLine("Not touching " + *path +
                           ": it is no work of an earlier video DVD burn");
            return false;
        }
    }
    for (const std::string* path : paths) {
        struct stat info {};
        std::string error;
        const bool there = ::lstat(path->c_str(), &info) == 0;
        if (there ? !record.removeIfProven(*path, manager, error) : !record.forget(*path, error)) {
            refuseWithLine("Not touching " + *path + ": " + error);
            return false;
        }
    }
    return true;
}

std::shared_ptr<WorkRecord> VXBurn::takeWorkRecord(const std::string& image) {
    std::string error;
    std::shared_ptr<WorkRecord> record = WorkRecord::open(image, error);
    if (!record) {
        refuseWithLine("Not touching " + image + ": " + error);
    }
    return record;
}

bool VXBurn::writeProject(WorkRecord& record, const PathList& paths) {
    std::vector<std::string> absolute;
    for (const std::string& path : paths) {
        absolute.push_back(absolutePath(path));
    }
    std::string error;
    if (!record.makeFile(xmlPath, video::projectFileText(folderpath, absolute), error)) {
        refuseWithLine("Could not write the authoring project " + xmlPath + ": " + error);
        return false;
    }
    return true;
}

bool VXBurn::rememberVideoWork(WorkRecord& record, const std::string& path) {
    std::string error;
    if (record.remember(path, error)) {
        return true;
    }
    discardVideoWork(record);
    refuseWithLine("Could not record the video DVD's work: " + error);
    return false;
}

std::vector<std::string> VXBurn::videoWorkPaths(const std::string& firstMpegPath) {
    const video::WorkPaths work = video::workPathsFor(absolutePath(firstMpegPath));
    return {work.folder, work.project, work.image};
}

void VXBurn::BurnToVideoDVD(const PathList& paths, const std::optional<std::string>& Title) {
    startCall();
    if (paths.empty()) {
        refuse("No MPEG files were given.");
        return;
    }
    if (!videoRouteMayStart()) {
        return;
    }
    // A control character would end a line of the project early: refused before anything is made.
    for (const std::string& path : paths) {
        if (video::hasControlCharacter(path)) {
            refuseWithLine("Not making a video DVD of " + path +
                           ": its name holds a control character");
            return;
        }
    }
    const video::WorkPaths work = video::workPathsFor(absolutePath(paths.front()));
    if (auto clash = video::clashingWorkPath(work, paths)) {
        refuseWithLine("Not touching " + *clash + ": it is one of the MPEG files, or holds one");
        return;
    }
    auto manager = std::make_shared<FileManager>();
    // Where there is no folder to work in, nothing can be made and nothing is anyone's: the route
    // comes to its end without an image.
    if (const std::string where = parentFolder(work.image); !isFolder(where)) {
        trackArray.clear();
        fm = manager;
        folderpath = work.folder;
        xmlPath = work.project;
        isoPath = work.image;
        Log::write("burn is nil");
        refuse("No video DVD image came out: the folder " + where + " does not exist.");
        return;
    }
    beginVideoWork();
    auto record = takeWorkRecord(work.image);
    if (!record || !clearLeftovers(*record, *manager, {&work.image, &work.folder, &work.project})) {
        return;
    }
    trackArray.clear();
    fm = manager;
    folderpath = work.folder;
    xmlPath = work.project;
    isoPath = work.image;
    if (stopsAt(video::Step::WorkTaken, *record)) {
        return;
    }

    std::string error;
    if (!record->makeFolder(folderpath, error)) {
        refuseWithLine("Could not create the DVD-video folder " + folderpath + ": " + error);
        return;
    }
    if (stopsAt(video::Step::FolderMade, *record)) {
        return;
    }
    if (!writeProject(*record, paths)) {
        discardVideoWork(*record);
        return;
    }
    if (stopsAt(video::Step::ProjectWritten, *record)) {
        return;
    }
    mpgToTsFolder(xmlPath);
    // What the authoring tool put into the folder is this run's work too.
    if (!rememberVideoWork(*record, folderpath)) {
        return;
    }
    std::optional<std::string> noImage;
    if (stopped()) {
        cancelVideoWork(*record);
        return;
    }
    if (fm->fileExistsAtPath(folderpath + "/VIDEO_TS/VIDEO_TS.IFO")) {
        // An authoring run that made no DVD-video structure would be imaged into an empty disc
        // and burned as if all were well; without one there is no image, and so no layout.
        tsFolderToISO(isoPath, folderpath, Title.value_or(kDefaultVolumeName));
        if (!rememberImage(*record)) {
            return;
        }
    } else {
        noImage = toolFailure("The DVD authoring tool made no DVD-video folder");
    }
    burnImage(record, "burn is nil", noImage);
}

void VXBurn::BurnTsFolderToDVD(const std::optional<std::string>& folder,
                               const std::optional<std::string>& Title) {
    startCall();
    if (!folder) {
        Log::write("Please show us a path of ts-Folder");
        refuse("No DVD-video folder was given.");
        return;
    }
    if (!videoRouteMayStart()) {
        return;
    }
    // The folder that holds VIDEO_TS is the one imaged; given VIDEO_TS itself, its parent is.
    std::string source = withoutTrailingSeparators(*folder);
    std::string given = *folder;
    if (lastPathComponent(source) == "VIDEO_TS" &&
        FileManager::defaultManager()->fileExistsAtPath(source + "/VIDEO_TS.IFO")) {
        source = withoutTrailingSeparators(source.substr(0, source.size() - 8));
        source = source.empty() ? "." : source;
        given = source;
    }
    // The image goes beside the folder, also when the folder is given with a trailing separator.
    const std::string image = source + ".iso";
    auto manager = std::make_shared<FileManager>();
    if (!manager->fileExistsAtPath(source + "/VIDEO_TS/VIDEO_TS.IFO")) {
        trackArray.clear();
        fm = manager;
        isoPath = image;
        refuseWithLine(source + " is no DVD-video folder: it holds no VIDEO_TS/VIDEO_TS.IFO");
        Log::write("Burn is Nil");
        return;
    }
    beginVideoWork();
    auto record = takeWorkRecord(image);
    if (!record || !clearLeftovers(*record, *manager, {&image})) {
        return;
    }
    // The host's folder is never removed, whatever an earlier MPEG route left in the record.
    std::string error;
    if (!record->forget(source, error)) {
        refuseWithLine("Could not record the video DVD's work: " + error);
        return;
    }
    trackArray.clear();
    fm = manager;
    isoPath = image;
    if (stopsAt(video::Step::WorkTaken, *record)) {
        return;
    }
    tsFolderToISO(isoPath, given, Title.value_or(kDefaultVolumeName));
    if (rememberImage(*record)) {
        burnImage(record, "Burn is Nil");
    }
}

bool VXBurn::rememberImage(WorkRecord& record) {
    video::reachStep(video::Step::ImageMade);
    // The image is the tool's only when it says it made one (also when it was told to stop just
    // as it placed it); whatever else stands at its path is nobody's work of ours.
    if (toolStatus_ == 0 && !rememberVideoWork(record, isoPath)) {
        return false;
    }
    if (stopped()) {
        cancelVideoWork(record);
        return false;
    }
    return true;
}

void VXBurn::beginVideoWork() {
    stopMark_ = terminateAllCalls();
    videoToolTerminated_ = false;
    toolLines_.clear();
    toolStatus_.reset();
}

bool VXBurn::stopped() const {
    return videoToolTerminated_ || terminateAllCalls() != stopMark_;
}

bool VXBurn::stopsAt(video::Step step, WorkRecord& record) {
    video::reachStep(step);
    if (!stopped()) {
        return false;
    }
    cancelVideoWork(record);
    return true;
}

void VXBurn::discardVideoWork(WorkRecord& record) {
    std::string ignored;
    for (const std::string* path : {&isoPath, &folderpath, &xmlPath}) {
        record.removeIfProven(*path, fm ? *fm : *FileManager::defaultManager(), ignored);
    }
}

void VXBurn::cancelVideoWork(WorkRecord& record) {
    discardVideoWork(record);
    Log::write("The video DVD was cancelled; its work files are removed");
    lastCall_ = {CallOutcome::Kind::Cancelled, "The video DVD was cancelled."};
}

void VXBurn::burnImage(std::shared_ptr<WorkRecord> record, const char* noLayoutLine,
                       std::optional<std::string> noImage) {
    std::string why;
    auto layout = noImage || toolStatus_ != 0 ? nullptr : DRBurn::layoutForImageFile(isoPath, why);
    if (!layout) {
        Log::write(noLayoutLine);
        if (noImage) {
            refuse(*noImage);
        } else if (toolStatus_ != 0) {
            refuse(toolFailure("The disk-image tool made no image"));
        } else {
            refuse("No video DVD image came out: " + why + ".");
        }
        return;
    }
    if (stopsAt(video::Step::SetupPanel, *record)) {
        return;
    }
    // The image is this run's work, proven by the record and removed after a successful burn.
    Dictionary properties = layout->properties();
    properties.set(DRTrackImageIsWorkFileKey, true);
    layout->setProperties(std::move(properties));
    trackArray.emplace_back(layout);
    // The work stays locked while its burn runs: no other run takes it meanwhile.
    const int before = burnsInFlight_;
    videoRecord_ = record;
    burnLayout(Value(trackArray), kBurnDescription);
    if (burnsInFlight_ == before) {
        videoRecord_.reset();
        // A setup panel closed because the host was told to stop: the work goes with it.
        if (stopped()) {
            cancelVideoWork(*record);
        }
    }
}

void VXBurn::runVideoTask(video::Step step) {
    m_VideoTask->launch();
    video::reachStep(step);
    m_VideoTask->waitUntilExit();
    videoToolTerminated_ = m_VideoTask->wasTerminated();
    toolLines_ = m_VideoTask->lastOutputLines();
    toolStatus_ = m_VideoTask->terminationStatus();
    m_VideoTask.reset();
}

std::string VXBurn::toolFailure(const std::string& what) const {
    if (toolLines_.empty()) {
        return toolStatus_ ? what + " (it ended with status " + std::to_string(*toolStatus_) + ")."
                           : what + ".";
    }
    // The tool's own last words.
    std::string reason = what + ": " + toolLines_.back();
    return reason.ends_with('.') ? reason : reason + ".";
}

void VXBurn::mpgToTsFolder(const std::string& projectPath) {
    m_VideoTask = std::make_shared<Task>();
    m_VideoTask->setLaunchPath(kAuthoringTool);
    m_VideoTask->setArguments({"-x", projectPath});
    runVideoTask(video::Step::Authoring);
}

std::string VXBurn::tsFolderToISO(const std::string& imagePath, const std::string& folder,
                                  const std::string& title) {
    m_VideoTask = std::make_shared<Task>();
    m_VideoTask->setLaunchPath(kImageTool);
    m_VideoTask->setArguments({"makehybrid", "-iso", "-joliet", "-udf", "-udf-version", "1.02",
                               "-udf-volume-name", title, "-o", imagePath, folder});
    runVideoTask(video::Step::Imaging);
    return imagePath;
}

}  // namespace kilnware
