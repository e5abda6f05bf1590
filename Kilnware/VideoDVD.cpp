#include <kilnware/VXBurn.h>

#include <sys/stat.h>

#include <algorithm>

#include <kilnware/platform/foundation/Log.h>

#include "Kilnware/VideoWork.h"

namespace kilnware {

using namespace platform;

namespace {
constexpr const char* kAuthoringTool = "/Users/user/Desktop/dvdauthor";
constexpr const char* kImageTool = "/usr/bin/hdiutil";
constexpr const char* kDefaultVolumeName = "Video DVD";
constexpr const char* kBurnDescription = "Burn Video DVD";

std::string withoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}
}  // namespace

bool VXBurn::videoRouteMayStart() const {
    // A running burn reads the work paths when it ends; replacing them now would have it remove
    // the new route's files, or this route remove what that burn still reads.
    if (burnsInFlight_ > 0) {
        Log::write("A burn of this controller is still running: the video DVD was not started");
        return false;
    }
    return true;
}

bool VXBurn::clearLeftovers(const std::string& image, const std::string& folder,
                            const std::string& project) {
    const std::pair<const std::string*, bool (*)(const std::string&)> checks[] = {
        {&image, video::isDiscImage},
        {&folder, video::isAuthoredFolder},
        {&project, video::isProjectFile},
    };
    // Everything is checked before anything is removed.
    for (const auto& [path, isEarlierWork] : checks) {
        struct stat info {};
        if (::lstat(path->c_str(), &info) == 0 && !isEarlierWork(*path)) {
            Log::write("Not touching %@: it is no work of an earlier video DVD burn", {*path});
            return false;
        }
    }
    for (const auto& [path, isEarlierWork] : checks) {
        if (fm->fileExistsAtPath(*path)) {
            fm->removeItemAtPath(*path);
        }
        std::erase(ownedWorkPaths_, *path);
    }
    return true;
}

void VXBurn::BurnToVideoDVD(const PathList& paths, const std::optional<std::string>& Title) {
    if (paths.empty() || !videoRouteMayStart()) {
        return;
    }
    const video::WorkPaths work = video::workPathsFor(paths.front());
    auto files = std::make_shared<FileManager>();
    std::swap(fm, files);
    if (!clearLeftovers(work.image, work.folder, work.project)) {
        std::swap(fm, files);  // refused before touching anything: the controller is as it was
        return;
    }
    trackArray.clear();
    folderpath = work.folder;
    xmlPath = work.project;
    isoPath = work.image;

    if (fm->createDirectoryAtPath(folderpath, false)) {
        ownedWorkPaths_.push_back(folderpath);
    }
    if (fm->writeString(video::projectFileText(folderpath, paths), xmlPath, false)) {
        ownedWorkPaths_.push_back(xmlPath);
    }
    mpgToTsFolder(xmlPath);
    // An authoring run that made no DVD-video structure would be imaged into an empty disc and
    // burned as if all were well; without one there is no image, and so no layout.
    if (fm->fileExistsAtPath(folderpath + "/VIDEO_TS/VIDEO_TS.IFO")) {
        const std::string image =
            tsFolderToISO(isoPath, folderpath, Title.value_or(kDefaultVolumeName));
        if (fm->fileExistsAtPath(image)) {
            ownedWorkPaths_.push_back(image);
        }
    }
    burnImage("burn is nil");
}

void VXBurn::BurnTsFolderToDVD(const std::optional<std::string>& folder,
                               const std::optional<std::string>& Title) {
    if (!folder) {
        Log::write("Please show us a path of ts-Folder");
        return;
    }
    if (!videoRouteMayStart()) {
        return;
    }
    // The image goes beside the folder, also when the folder is given with a trailing separator.
    const std::string image = withoutTrailingSeparators(*folder) + ".iso";
    if (struct stat info{}; ::lstat(image.c_str(), &info) == 0 && !video::isDiscImage(image)) {
        Log::write("Not touching %@: it is no work of an earlier video DVD burn", {image});
        return;
    }
    trackArray.clear();
    fm = std::make_shared<FileManager>();
    isoPath = image;
    if (fm->fileExistsAtPath(isoPath)) {
        fm->removeItemAtPath(isoPath);
    }
    // The host's folder is never removed, whatever an earlier MPEG route left in the fields.
    const std::string hostFolder = withoutTrailingSeparators(*folder);
    std::erase_if(ownedWorkPaths_, [&](const std::string& path) {
        return path == isoPath || withoutTrailingSeparators(path) == hostFolder;
    });
    const std::string written = tsFolderToISO(isoPath, *folder, Title.value_or(kDefaultVolumeName));
    if (fm->fileExistsAtPath(written)) {
        ownedWorkPaths_.push_back(written);
    }
    burnImage("Burn is Nil");
}

void VXBurn::burnImage(const char* noLayoutLine) {
    auto layout = DRBurn::layoutForImageFile(isoPath);
    if (!layout) {
        Log::write(noLayoutLine);
        return;
    }
    trackArray.emplace_back(layout);
    burnLayout(Value(trackArray), kBurnDescription);
}

void VXBurn::mpgToTsFolder(const std::string& projectPath) {
    m_VideoTask = std::make_shared<Task>();
    m_VideoTask->setLaunchPath(kAuthoringTool);
    m_VideoTask->setArguments({"-x", projectPath});
    m_VideoTask->launch();
    m_VideoTask->waitUntilExit();
    m_VideoTask.reset();
}

std::string VXBurn::tsFolderToISO(const std::string& imagePath, const std::string& folder,
                                  const std::string& title) {
    m_VideoTask = std::make_shared<Task>();
    m_VideoTask->setLaunchPath(kImageTool);
    m_VideoTask->setArguments({"makehybrid", "-iso", "-joliet", "-udf", "-udf-version", "1.02",
                               "-udf-volume-name", title, "-o", imagePath, folder});
    m_VideoTask->launch();
    m_VideoTask->waitUntilExit();
    m_VideoTask.reset();
    return imagePath;
}

}  // namespace kilnware
