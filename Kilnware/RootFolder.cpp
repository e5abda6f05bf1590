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

}  // namespace kilnware
