#include <kilnware/platform/discrecording/DRFolder.h>

#include <sys/stat.h>
#include <filesystem>

namespace kilnware::platform {

namespace {

// The absolute form of `path` (links are left as they are) and its last component, the node's
// name; none when nothing stands at `path`.
struct NamedPath {
    std::string path;
    std::string name;
    bool directory = false;
};

std::optional<NamedPath> namedPath(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    std::error_code failed;
    std::filesystem::path absolute = std::filesystem::absolute(path, failed);
    if (failed) {
        return std::nullopt;
    }
    // "dir/" and "dir/." name "dir".
    std::filesystem::path normal = absolute.lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
        normal = normal.parent_path();
    }
    std::string name = normal.filename().string();
    if (name.empty()) {
        name = normal.string();  // the file-system root
    }
    return NamedPath{normal.string(), std::move(name), S_ISDIR(info.st_mode)};
}

}  // namespace

DRFSObject::DRFSObject(std::string name, std::optional<std::string> sourcePath)
    : name_(std::move(name)), sourcePath_(std::move(sourcePath)) {}

std::string DRFSObject::description() const {
    return (isFolder() ? "<DRFolder " : "<DRFile ") + name_ +
           (sourcePath_ ? " at " + *sourcePath_ : std::string(" (virtual)")) + ">";
}

std::shared_ptr<DRFolder> DRFolder::virtualFolderWithName(std::string name) {
    return std::make_shared<DRFolder>(std::move(name), std::nullopt);
}

std::shared_ptr<DRFolder> DRFolder::folderWithPath(std::string path) {
    auto named = namedPath(path);
    if (!named || !named->directory) {
        return nullptr;
    }
    return std::make_shared<DRFolder>(std::move(named->name), std::move(named->path));
}

bool DRFolder::addChild(std::shared_ptr<DRFSObject> child) {
    if (!isVirtual() || !child || child->parent_.lock()) {
        return false;
    }
    // A folder inside itself would be a tree without end, and a cycle of owners.
    if (child.get() == this) {
        return false;
    }
    for (auto ancestor = parent(); ancestor; ancestor = ancestor->parent()) {
        if (ancestor == child) {
            return false;
        }
    }
    auto me = selfAs<DRFolder>();
    if (!me) {
        return false;
    }
    child->parent_ = me;
    children_.push_back(std::move(child));
    return true;
}

std::shared_ptr<DRFile> DRFile::fileWithPath(std::string path) {
    auto named = namedPath(path);
    if (!named || named->directory) {
        return nullptr;
    }
    return std::make_shared<DRFile>(std::move(named->name), std::move(named->path));
}

}  // namespace kilnware::platform
