#include <kilnware/platform/foundation/FileManager.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/foundation/Folders.h"
#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform {

namespace {

bool fail(std::string* error, const std::string& path, int code) {
    if (error) {
        *error = path + ": " + std::strerror(code);
    }
    return false;
}

std::optional<mode_t> requestedPermissions(const Dictionary* attributes) {
    if (!attributes) {
        return std::nullopt;
    }
    const Value* value = attributes->find(NSFilePosixPermissions);
    if (!value || !value->isNumber()) {
        return std::nullopt;
    }
    return static_cast<mode_t>(value->uint64Value() & 07777);
}

// Makes one directory; `mustBeNew` refuses an existing directory.
bool makeDirectory(const std::string& path, bool mustBeNew, std::optional<mode_t> permissions,
                   std::string* error) {
    if (::mkdir(path.c_str(), 0777) == 0) {
        // Explicit permissions apply as given, not narrowed by the umask.
        if (permissions && ::chmod(path.c_str(), *permissions) != 0) {
            return fail(error, path, errno);
        }
        return true;
    }
    int code = errno;
    if (code == EEXIST && !mustBeNew) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return true;
        }
        code = ENOTDIR;
    }
    return fail(error, path, code);
}

}  // namespace

std::shared_ptr<FileManager> FileManager::defaultManager() {
    static const std::shared_ptr<FileManager> instance = std::make_shared<FileManager>();
    return instance;
}

bool FileManager::fileExistsAtPath(const std::string& path) const {
    return fileExistsAtPath(path, nullptr);
}

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    struct stat info {};
    bool exists = ::stat(path.c_str(), &info) == 0;
    if (isDirectory) {
        *isDirectory = exists && S_ISDIR(info.st_mode);
    }
    return exists;
}

bool FileManager::removeItemAtPath(const std::string& path, std::string* error) const {
    // A trailing slash would make "link/" mean the folder the link points to.
    std::string target = path;
    while (target.size() > 1 && target.back() == '/') {
        target.pop_back();
    }
    if (target == "/") {
        return fail(error, path, EPERM);
    }
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) {
        return fail(error, path, errno);
    }
    // remove_all looks at links themselves and never descends through them.
    std::error_code code;
    std::filesystem::remove_all(target, code);
    if (code) {
        if (error) {
            *error = path + ": " + code.message();
        }
        return false;
    }
    return true;
}

bool FileManager::removeProvenItem(const ProvenItem& item, std::string* error) const {
    const auto isTheItem = [&](const struct stat& info) {
        return static_cast<std::uint64_t>(info.st_dev) == item.device &&
               static_cast<std::uint64_t>(info.st_ino) == item.inode;
    };
    struct stat info {};
    if (::fstatat(item.folder, item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(error, item.path, errno);
    }
    if (!isTheItem(info)) {
        if (error) {
            *error = item.path + ": it is no longer the item that was proven";
        }
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        UniqueFd folder = openFolderIn(item.folder, item.name);
        struct stat opened {};
        if (!folder || ::fstat(folder.get(), &opened) != 0 || !isTheItem(opened)) {
            return fail(error, item.path, folder ? ESTALE : errno);
        }
        if (!removeFolderContent(folder.get()) ||
            ::unlinkat(item.folder, item.name.c_str(), AT_REMOVEDIR) != 0) {
            return fail(error, item.path, errno);
        }
        return true;
    }
    return ::unlinkat(item.folder, item.name.c_str(), 0) == 0 || fail(error, item.path, errno);
}

bool FileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                        const Dictionary* attributes, std::string* error) const {
    if (path.empty()) {
        return fail(error, path, ENOENT);
    }
    std::optional<mode_t> permissions = requestedPermissions(attributes);
    if (!withIntermediateDirectories) {
        return makeDirectory(path, true, permissions, error);
    }
    // Like mkdir -p: each missing component in turn; what exists must be a directory.
    std::size_t end = path.find_first_not_of('/');
    while (end != std::string::npos) {
        end = path.find('/', end);
        std::string prefix = path.substr(0, end);
        if (!makeDirectory(prefix, false, permissions, error)) {
            return false;
        }
        if (end != std::string::npos) {
            end = path.find_first_not_of('/', end);
        }
    }
    return true;
}

std::optional<Dictionary> FileManager::attributesOfItemAtPath(const std::string& path,
                                                              bool traverseLink,
                                                              std::string* error) const {
    struct stat info {};
    int result = traverseLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    if (result != 0) {
        fail(error, path, errno);
        return std::nullopt;
    }
    const char* type = NSFileTypeUnknown;
    if (S_ISREG(info.st_mode)) {
        type = NSFileTypeRegular;
    } else if (S_ISDIR(info.st_mode)) {
        type = NSFileTypeDirectory;
    } else if (S_ISLNK(info.st_mode)) {
        type = NSFileTypeSymbolicLink;
    }
    double modified =
        static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
    Dictionary attributes;
    attributes.set(NSFileSize, static_cast<std::uint64_t>(info.st_size));
    attributes.set(NSFileType, type);
    attributes.set(NSFileModificationDate, modified);
    attributes.set(NSFilePosixPermissions, static_cast<std::uint64_t>(info.st_mode & 07777));
    return attributes;
}

bool FileManager::writeString(const std::string& text, const std::string& path, bool atomically,
                              std::string* error) const {
    if (path.empty()) {
        return fail(error, path, ENOENT);
    }
    if (!atomically) {
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!fd) {
            return fail(error, path, errno);
        }
        int code = writeAll(fd.get(), text);
        int closeCode = fd.close();
        return code || closeCode ? fail(error, path, code ? code : closeCode) : true;
    }

    // The temporary file sits beside the target so that rename(2) replaces it in one step. It is
    // opened with O_EXCL and mode 0666 (mkstemp's 0600 would leak into the result).
    std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    std::string temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        temporary = folder + "." + name + ".kw" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter++) + "-" + std::to_string(entropy());
        fd.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST) {
            return fail(error, path, errno);
        }
    }
    if (!fd) {
        return fail(error, path, EEXIST);
    }
    int code = writeAll(fd.get(), text);
    int closeCode = fd.close();
    if (!code) {
        code = closeCode;
    }
    if (!code && ::rename(temporary.c_str(), path.c_str()) != 0) {
        code = errno;
    }
    if (code) {
        ::unlink(temporary.c_str());
        return fail(error, path, code);
    }
    return true;
}

}  // namespace kilnware::platform
