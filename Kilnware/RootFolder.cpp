#include "Kilnware/RootFolder.h"

#include <kilnware/platform/foundation/FileManager.h>

namespace kilnware {

using namespace platform;

void fillRootFolder(DRFolder& root, const std::vector<std::string>& paths) {
    auto files = FileManager::defaultManager();
    for (const auto& path : paths) {
        bool isDirectory = false;
        if (!files->fileExistsAtPath(path, &isDirectory)) {
            continue;
        }
        std::shared_ptr<DRFSObject> node;
        if (isDirectory) {
            node = DRFolder::folderWithPath(path);
        } else {
            node = DRFile::fileWithPath(path);
        }
        if (node) {
            root.addChild(std::move(node));
        }
    }
}

std::shared_ptr<DRTrack> dataTrackOf(std::shared_ptr<DRFolder> root,
                                     const std::vector<std::string>& paths, std::string& why) {
    if (root->children().empty()) {
        why = paths.size() == 1 ? paths.front() + " does not exist"
                                : "none of the files and folders given exists";
        return nullptr;
    }
    return DRTrack::trackForRootFolder(std::move(root), why);
}

}  // namespace kilnware
