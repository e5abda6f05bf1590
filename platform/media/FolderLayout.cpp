#include "platform/media/FolderLayout.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/foundation/Log.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"

namespace kilnware::platform::media {

namespace {

constexpr std::uint32_t kKnownMask =
    DRFilesystemInclusionMaskISO9660 | DRFilesystemInclusionMaskJoliet |
    DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskHFSPlus;

// File systems whose files do not hold what their sizes say (procfs gives 0 for /proc/cpuinfo,
// sysfs 4096 for every attribute): a copy of the stated size would be empty or cut short.
bool sizesAreMadeUp(int fd) {
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) {
        return false;
    }
    static constexpr unsigned long kMadeUp[] = {PROC_SUPER_MAGIC,
                                                SYSFS_MAGIC,
                                                DEBUGFS_MAGIC,
                                                TRACEFS_MAGIC,
                                                SECURITYFS_MAGIC,
                                                SELINUX_MAGIC,
                                                SMACK_MAGIC,
                                                CGROUP_SUPER_MAGIC,
                                                CGROUP2_SUPER_MAGIC,
                                                RDTGROUP_SUPER_MAGIC,
                                                PSTOREFS_MAGIC,
                                                BPF_FS_MAGIC,
                                                BINFMTFS_MAGIC,
                                                OPENPROM_SUPER_MAGIC,
                                                USBDEVICE_SUPER_MAGIC,
                                                NSFS_MAGIC,
                                                XENFS_SUPER_MAGIC,
                                                0x62656570 /* configfs */,
                                                0x65735543 /* fusectl */,
                                                0x5a3c69f0 /* apparmorfs */};
    const auto type = static_cast<unsigned long>(info.f_type);
    return std::find(std::begin(kMadeUp), std::end(kMadeUp), type) != std::end(kMadeUp);
}

// What a node that no disc holds is, for the warning that leaves it out.
const char* whatItIs(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a pipe";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    return "neither a file nor a folder";
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
                return leaveOut(path, "a link that leads nowhere");
            }
            return fail(path + ": " + systemReason(reason));
        }
        if (S_ISDIR(info.st_mode)) {
            return layOutDirectory(name, path, out);
        }
        if (S_ISREG(info.st_mode)) {
            return layOutFile(name, path, out);
        }
        return leaveOut(path, whatItIs(info.st_mode));
    }

    bool layOutDirectory(const std::string& name, const std::string& path,
                         std::optional<LaidOutNode>& out) {
        // Non-blocking: whatever stands at the path by now, opening it must not wait.
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return fail(path + ": " + systemReason(errno));
        }
        DIR* directory = ::fdopendir(fd);
        if (!directory) {
            const int reason = errno;
            ::close(fd);
            return fail(path + ": " + systemReason(reason));
        }
        const std::unique_ptr<DIR, int (*)(DIR*)> closer(directory, ::closedir);
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            return fail(path + ": " + systemReason(errno));
        }
        if (sizesAreMadeUp(fd)) {
            return leaveOut(path, kMadeUpReason);
        }
        const std::pair<dev_t, ino_t> id{info.st_dev, info.st_ino};
        if (ancestors_.count(id) != 0) {
            return leaveOut(path, "a link back into its own folder");
        }
        LaidOutNode node;
        node.name = name;
        node.directory = true;
        node.place = std::make_shared<const std::string>(path);
        setTimes(node, info);
        ancestors_.insert(id);
        const bool read = readDirectory(path, directory, info.st_dev, node);
        ancestors_.erase(id);
        if (!read) {
            return false;
        }
        out = std::move(node);
        return true;
    }

    bool readDirectory(const std::string& path, DIR* directory, dev_t device, LaidOutNode& node) {
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = ::readdir(directory)) {
            std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..") {
                names.push_back(std::move(entryName));
            }
            errno = 0;
        }
        if (errno != 0) {
            return fail(path + ": " + systemReason(errno));
        }
        std::sort(names.begin(), names.end());
        node.children.reserve(names.size());
        // The folder's own path, shared by its files ("/" gives them "/NAME", not "//NAME").
        const auto folder = path == "/" ? std::make_shared<const std::string>() : node.place;
        for (const std::string& entryName : names) {
            std::optional<LaidOutNode> child;
            if (!checkName(entryName, path) ||
                !layOutEntry(::dirfd(directory), device, entryName, folder, child)) {
                return false;
            }
            if (child) {
                node.children.push_back(std::move(*child));
            }
        }
        return true;
    }

    // An entry of a folder on `device`: a plain file there is laid out from one look at it, by
    // its name in the open folder. Everything else (folders, links to other file systems, what
    // cannot be looked at) goes the long way, by its path.
    bool layOutEntry(int folder, dev_t device, const std::string& name,
                     const std::shared_ptr<const std::string>& folderPath,
                     std::optional<LaidOutNode>& out) {
        struct statx info {};
        if (::statx(folder, name.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS, &info) != 0 ||
            (info.stx_mask & STATX_BASIC_STATS) != STATX_BASIC_STATS || !S_ISREG(info.stx_mode) ||
            makedev(info.stx_dev_major, info.stx_dev_minor) != device) {
            return layOutPath(name, *folderPath + "/" + name, out);
        }
        // On its folder's file system, whose sizes are real: the folder would be left out else.
        LaidOutNode node;
        node.name = name;
        node.placeIsFolder = true;
        node.place = folderPath;
        node.size = info.stx_size;
        node.device = device;
        node.inode = static_cast<ino_t>(info.stx_ino);
        node.modified = info.stx_mtime.tv_sec;
        node.modifiedNanoseconds = info.stx_mtime.tv_nsec;
        node.changed = {static_cast<time_t>(info.stx_ctime.tv_sec),
                        static_cast<long>(info.stx_ctime.tv_nsec)};
        node.executable = (info.stx_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
        ++files_;
        out = std::move(node);
        return true;
    }

    bool layOutFile(const std::string& name, const std::string& path,
                    std::optional<LaidOutNode>& out) {
        // Non-blocking, so that a pipe put in the file's place meanwhile cannot stall the layout.
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            return fail(path + ": " + systemReason(errno));
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) {
            return fail(path + ": " + systemReason(errno));
        }
        if (!S_ISREG(info.st_mode)) {
            return leaveOut(path, whatItIs(info.st_mode));
        }
        if (sizesAreMadeUp(fd.get())) {
            return leaveOut(path, kMadeUpReason);
        }
        LaidOutNode node;
        node.name = name;
        node.place = std::make_shared<const std::string>(path);
        node.size = static_cast<std::uint64_t>(info.st_size);
        node.device = info.st_dev;
        node.inode = info.st_ino;
        setTimes(node, info);
        node.executable = (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
        ++files_;
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

    // Items left out so far, and files laid out.
    std::size_t leftOut() const { return leftOut_; }
    std::size_t files() const { return files_; }

private:
    static constexpr const char* kMadeUpReason =
        "on a file system whose file sizes are not real (procfs, sysfs and the like)";

    static void setTimes(LaidOutNode& node, const struct stat& info) {
        node.modified = info.st_mtim.tv_sec;
        node.modifiedNanoseconds = info.st_mtim.tv_nsec;
        node.changed = info.st_ctim;
    }

    // Warns of an item that no disc can hold; the layout goes on without it.
    bool leaveOut(const std::string& path, std::string_view why) {
        Log::warning("Data layout: left out %@, %@", {path, why});
        ++leftOut_;
        return true;
    }

    bool fail(std::string reason) {
        error_ = std::move(reason);
        return false;
    }

    std::string& error_;
    std::set<std::pair<dev_t, ino_t>> ancestors_;
    std::size_t leftOut_ = 0;
    std::size_t files_ = 0;
};

}  // namespace

std::string LaidOutNode::sourcePath() const {
    if (!place) {
        return std::string();
    }
    return placeIsFolder ? *place + "/" + name : *place;
}

FileIdentity LaidOutNode::identity() const {
    return FileIdentity{
        static_cast<std::uint64_t>(device), static_cast<std::uint64_t>(inode), size,
        timespec{static_cast<time_t>(modified), static_cast<long>(modifiedNanoseconds)}, changed};
}

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
    } else {
        // A folder from disk as the root: its contents are the disc's.
        std::optional<LaidOutNode> node;
        if (!walker.layOutReal(root, root.name(), node)) {
            return std::nullopt;
        }
        if (node) {
            layout.root = std::move(*node);
        }
    }
    // What was chosen but left out entirely never becomes an empty disc.
    if (walker.leftOut() > 0 && walker.files() == 0) {
        error = "nothing is left to burn: no file of the selection can be on a disc";
        return std::nullopt;
    }
    return layout;
}

}  // namespace kilnware::platform::media
