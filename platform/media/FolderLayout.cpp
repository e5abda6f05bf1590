#include "platform/media/FolderLayout.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <string_view>
#include <utility>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/foundation/Log.h>

namespace kilnware::platform::media {

namespace {

constexpr std::uint32_t kKnownMask =
    DRFilesystemInclusionMaskISO9660 | DRFilesystemInclusionMaskJoliet |
    DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskHFSPlus;

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string systemReason(int error) {
    return std::strerror(error);
}

class Walker {
public:
    explicit Walker(std::string& error) : error_(error) {}

    bool checkName(const std::string& name, const std::string& where) {
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
            return fail("\"" + name + "\" in " + where + " cannot be a name on a disc");
        }
        if (!isValidUtf8(name)) {
            return fail("a name in " + where + " is not valid UTF-8");
        }
        return true;
    }

    // Lays out what stands at `path` under `name`; false on failure. A node that is left out
    // leaves `out` unset.
    bool layOutPath(const std::string& name, const std::string& path,
                    std::optional<LaidOutNode>& out) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            const int reason = errno;
            struct stat linkInfo {};
            if ((reason == ENOENT || reason == ELOOP) && ::lstat(path.c_str(), &linkInfo) == 0 &&
                S_ISLNK(linkInfo.st_mode)) {
                Log::write("Data layout: left out %@, a link that leads nowhere", {path});
                return true;
            }
            return fail(path + ": " + systemReason(reason));
        }
        if (S_ISDIR(info.st_mode)) {
            return layOutDirectory(name, path, info, out);
        }
        if (S_ISREG(info.st_mode)) {
            return layOutFile(name, path, out);
        }
        Log::write("Data layout: left out %@, neither a file nor a folder", {path});
        return true;
    }

    bool layOutDirectory(const std::string& name, const std::string& path, const struct stat& info,
                         std::optional<LaidOutNode>& out) {
        const std::pair<dev_t, ino_t> id{info.st_dev, info.st_ino};
        if (ancestors_.count(id) != 0) {
            Log::write("Data layout: left out %@, a link back into its own folder", {path});
            return true;
        }
        LaidOutNode node;
        node.name = name;
        node.directory = true;
        node.sourcePath = path;
        node.modified = info.st_mtim.tv_sec;
        if (!readDirectory(path, node)) {
            return false;
        }
        out = std::move(node);
        return true;
    }

    bool readDirectory(const std::string& path, LaidOutNode& node) {
        DIR* directory = ::opendir(path.c_str());
        if (!directory) {
            return fail(path + ": " + systemReason(errno));
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = ::readdir(directory)) {
            std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..") {
                names.push_back(std::move(entryName));
            }
            errno = 0;
        }
        const int readError = errno;
        struct stat info {};
        const bool known = ::fstat(::dirfd(directory), &info) == 0;
        ::closedir(directory);
        if (readError != 0 || !known) {
            return fail(path + ": " + systemReason(readError != 0 ? readError : errno));
        }
        std::sort(names.begin(), names.end());

        const std::pair<dev_t, ino_t> id{info.st_dev, info.st_ino};
        ancestors_.insert(id);
        for (const std::string& entryName : names) {
            const std::string entryPath = (path == "/" ? "" : path) + "/" + entryName;
            std::optional<LaidOutNode> child;
            if (!checkName(entryName, path) || !layOutPath(entryName, entryPath, child)) {
                ancestors_.erase(id);
                return false;
            }
            if (child) {
                node.children.push_back(std::move(*child));
            }
        }
        ancestors_.erase(id);
        return true;
    }

    bool layOutFile(const std::string& name, const std::string& path,
                    std::optional<LaidOutNode>& out) {
        // Non-blocking, so that a pipe put in the file's place meanwhile cannot stall the layout.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            return fail(path + ": " + systemReason(errno));
        }
        struct stat info {};
        const bool known = ::fstat(fd, &info) == 0;
        const int reason = errno;
        ::close(fd);
        if (!known) {
            return fail(path + ": " + systemReason(reason));
        }
        if (!S_ISREG(info.st_mode)) {
            Log::write("Data layout: left out %@, neither a file nor a folder", {path});
            return true;
        }
        LaidOutNode node;
        node.name = name;
        node.sourcePath = path;
        node.size = static_cast<std::uint64_t>(info.st_size);
        node.device = info.st_dev;
        node.inode = info.st_ino;
        node.modified = info.st_mtim.tv_sec;
        node.executable = (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
        out = std::move(node);
        return true;
    }

    // A node of the caller's tree: virtual folders hold what was added to them.
    bool layOutObject(const DRFSObject& object, std::int64_t now, std::optional<LaidOutNode>& out,
                      const std::string& where) {
        if (!checkName(object.name(), where)) {
            return false;
        }
        if (!object.isVirtual()) {
            return layOutReal(object, object.name(), out);
        }
        LaidOutNode node;
        node.name = object.name();
        node.directory = true;
        node.modified = now;
        if (!layOutChildren(static_cast<const DRFolder&>(object), now, node)) {
            return false;
        }
        out = std::move(node);
        return true;
    }

    bool layOutReal(const DRFSObject& object, const std::string& name,
                    std::optional<LaidOutNode>& out) {
        const std::string& path = *object.sourcePath();
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            return fail(path + ": " + systemReason(errno));
        }
        if (object.isFolder() != S_ISDIR(info.st_mode)) {
            return fail(path + (object.isFolder() ? " is no longer a folder"
                                                  : " is a folder now, no longer a file"));
        }
        return layOutPath(name, path, out);
    }

    bool layOutChildren(const DRFolder& folder, std::int64_t now, LaidOutNode& node) {
        const std::string where = "folder \"" + folder.name() + "\"";
        for (const auto& child : folder.children()) {
            std::optional<LaidOutNode> laidOut;
            if (!layOutObject(*child, now, laidOut, where)) {
                return false;
            }
            if (laidOut) {
                node.children.push_back(std::move(*laidOut));
            }
        }
        // Nothing is renamed behind the caller's back: two children of one name cannot both be
        // on the disc.
        std::stable_sort(
            node.children.begin(), node.children.end(),
            [](const LaidOutNode& a, const LaidOutNode& b) { return a.name < b.name; });
        const auto twin = std::adjacent_find(
            node.children.begin(), node.children.end(),
            [](const LaidOutNode& a, const LaidOutNode& b) { return a.name == b.name; });
        if (twin != node.children.end()) {
            return fail("two items named \"" + twin->name + "\" in " + where);
        }
        return true;
    }

private:
    bool fail(std::string reason) {
        error_ = std::move(reason);
        return false;
    }

    std::string& error_;
    std::set<std::pair<dev_t, ino_t>> ancestors_;
};

}  // namespace

std::uint32_t effectiveFilesystemMask(std::uint32_t explicitMask) {
    const std::uint32_t known = explicitMask & kKnownMask;
    return known != 0 ? known : DRFilesystemInclusionMaskISO9660 | DRFilesystemInclusionMaskJoliet;
}

std::optional<FolderLayout> layOutFolder(const DRFolder& root, std::string& error) {
    FolderLayout layout;
    layout.volumeName = root.name();
    layout.mask = effectiveFilesystemMask(root.explicitFilesystemMask());
    layout.laidOutAt = static_cast<std::int64_t>(std::time(nullptr));
    layout.root.directory = true;
    layout.root.modified = layout.laidOutAt;

    Walker walker(error);
    if (root.isVirtual()) {
        if (!walker.layOutChildren(root, layout.laidOutAt, layout.root)) {
            return std::nullopt;
        }
        return layout;
    }
    // A folder from disk as the root: its contents are the disc's.
    std::optional<LaidOutNode> node;
    if (!walker.layOutReal(root, root.name(), node)) {
        return std::nullopt;
    }
    if (!node) {
        error = *root.sourcePath() + " leads back into itself";
        return std::nullopt;
    }
    layout.root = std::move(*node);
    return layout;
}

}  // namespace kilnware::platform::media
