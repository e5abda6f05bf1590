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
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

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

// The oldest and newest times each file system holds: ISO 9660 (and Rock Ridge, Joliet) counts
// years from 1900 in a byte, HFS+ seconds from 1904 in 32 bits.
constexpr std::int64_t kIso9660First = -2'208'988'800;  // 1900-01-01 00:00:00 UTC
constexpr std::int64_t kIso9660Last = 5'869'583'999;    // 2155-12-31 23:59:59 UTC
constexpr std::int64_t kHfsPlusFirst = -2'082'844'800;  // 1904-01-01 00:00:00 UTC
constexpr std::int64_t kHfsPlusLast = 2'212'122'495;    // 2040-02-06 06:28:15 UTC

constexpr std::size_t kLongestName = 255;

std::string utcText(std::int64_t time) {
    const auto when = static_cast<time_t>(time);
    std::tm utc{};
    char text[64] = "?";
    if (gmtime_r(&when, &utc)) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    }
    return text;
}

// Whether `path` (resolved) lies under one of `roots` (resolved).
bool liesUnder(const std::string& path, const std::vector<std::string>& roots) {
    return std::any_of(roots.begin(), roots.end(), [&](const std::string& root) {
        return path == root || root == "/" ||
               (path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/');
    });
}

// The resolved paths of what the caller chose: a link inside them points inside only when its
// target lies under one of these.
void collectChosenPaths(const DRFSObject& object, std::vector<std::string>& roots) {
    if (!object.isVirtual()) {
        if (char* resolved = ::realpath(object.sourcePath()->c_str(), nullptr)) {
            roots.emplace_back(resolved);
            std::free(resolved);
        }
        return;
    }
    for (const auto& child : static_cast<const DRFolder&>(object).children()) {
        collectChosenPaths(*child, roots);
    }
}

class Walker {
public:
    Walker(std::string& error, const FolderLayout& layout, std::vector<std::string> chosen)
        : error_(error),
          mask_(layout.mask),
          forPlayers_(layout.forPlayers),
          chosen_(std::move(chosen)),
          linksEverywhere_((layout.mask &
                            (DRFilesystemInclusionMaskJoliet | DRFilesystemInclusionMaskUDF)) == 0),
          udf_((layout.mask & DRFilesystemInclusionMaskUDF) != 0) {}

    bool checkName(const std::string& name, const std::string& where) {
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
            return fail("\"" + name + "\" in " + where + " cannot be a name on a disc");
        }
        if (!isValidUtf8(name)) {
            return fail("a name in " + where + " is not valid UTF-8");
        }
        // As on Linux, and in Rock Ridge (a host may make longer names for virtual folders).
        if (name.size() > kLongestName) {
            return fail("\"" + name + "\" in " + where + " is longer than the 255 bytes of a name");
        }
        return true;
    }

    // Lays out what stands at `path`, a path the caller chose, under `name`; false on failure. A
    // node that is left out leaves `out` unset.
    bool layOutPath(const std::string& name, const std::string& path, int depth,
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
            return layOutDirectory(name, path, depth, true, out);
        }
        if (S_ISREG(info.st_mode)) {
            return layOutFile(name, std::make_shared<const std::string>(path), true, out);
        }
        return leaveOut(path, whatItIs(info.st_mode));
    }

    // A folder; `follow` where the path is the caller's, whose links are followed.
    bool layOutDirectory(const std::string& name, const std::string& path, int depth, bool follow,
                         std::optional<LaidOutNode>& out) {
        // Non-blocking: whatever stands at the path by now, opening it must not wait.
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC |
                                                (follow ? 0 : O_NOFOLLOW));
        if (fd < 0) {
            return failOpening(path, follow);
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
            return leaveOut(path, "a folder that holds itself");
        }
        LaidOutNode node;
        node.name = name;
        node.kind = LaidOutNode::Kind::Folder;
        node.place = std::make_shared<const std::string>(path);
        setAttributes(node, info.st_mode, info.st_uid, info.st_gid, info.st_mtim, info.st_ctim);
        checkTime(node, [&] { return path; });
        checkDepth(depth, path);
        ancestors_.insert(id);
        const bool read = readDirectory(path, directory, info.st_dev, depth, node);
        ancestors_.erase(id);
        if (!read) {
            return false;
        }
        out = std::move(node);
        return true;
    }

    bool readDirectory(const std::string& path, DIR* directory, dev_t device, int depth,
                       LaidOutNode& node) {
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
                !layOutEntry(::dirfd(directory), device, entryName, folder, depth + 1, child)) {
                return false;
            }
            if (child) {
                node.children.push_back(std::move(*child));
            }
        }
        return true;
    }

    // An entry of a folder on `device`, never followed where it is a link: a plain file there is
    // laid out from one look at it, by its name in the open folder.
    bool layOutEntry(int folder, dev_t device, const std::string& name,
                     const std::shared_ptr<const std::string>& folderPath, int depth,
                     std::optional<LaidOutNode>& out) {
        struct statx info {};
        if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
                    STATX_BASIC_STATS, &info) != 0) {
            return fail(*folderPath + "/" + name + ": " + systemReason(errno));
        }
        const bool known = (info.stx_mask & STATX_BASIC_STATS) == STATX_BASIC_STATS;
        if (known && S_ISLNK(info.stx_mode)) {
            return layOutLink(folder, name, folderPath, info, out);
        }
        if (!known || !S_ISREG(info.stx_mode) ||
            makedev(info.stx_dev_major, info.stx_dev_minor) != device) {
            const std::string path = *folderPath + "/" + name;
            if (known && S_ISDIR(info.stx_mode)) {
                return layOutDirectory(name, path, depth, false, out);
            }
            if (!known || S_ISREG(info.stx_mode)) {
                return layOutFile(name, std::make_shared<const std::string>(path), false, out);
            }
            return leaveOut(path, whatItIs(info.stx_mode));
        }
        // On its folder's file system, whose sizes are real: the folder would be left out else.
        LaidOutNode node;
        node.name = name;
        node.placeIsFolder = true;
        node.place = folderPath;
        node.size = info.stx_size;
        node.device = device;
        node.inode = static_cast<ino_t>(info.stx_ino);
        setAttributes(
            node, info.stx_mode, info.stx_uid, info.stx_gid,
            {static_cast<time_t>(info.stx_mtime.tv_sec), static_cast<long>(info.stx_mtime.tv_nsec)},
            {static_cast<time_t>(info.stx_ctime.tv_sec),
             static_cast<long>(info.stx_ctime.tv_nsec)});
        checkTime(node, [&] { return *folderPath + "/" + name; });
        ++files_;
        out = std::move(node);
        return true;
    }

    // A plain file at `path`; `follow` where the path is the caller's or a link's resolved target.
    bool layOutFile(const std::string& name, std::shared_ptr<const std::string> path, bool follow,
                    std::optional<LaidOutNode>& out) {
        // Non-blocking, so that a pipe put in the file's place meanwhile cannot stall the layout.
        UniqueFd fd(
            ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW)));
        if (!fd) {
            return failOpening(*path, follow);
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) {
            return fail(*path + ": " + systemReason(errno));
        }
        if (!S_ISREG(info.st_mode)) {
            return leaveOut(*path, whatItIs(info.st_mode));
        }
        if (sizesAreMadeUp(fd.get())) {
            return leaveOut(*path, kMadeUpReason);
        }
        LaidOutNode node;
        node.name = name;
        node.size = static_cast<std::uint64_t>(info.st_size);
        node.device = info.st_dev;
        node.inode = info.st_ino;
        setAttributes(node, info.st_mode, info.st_uid, info.st_gid, info.st_mtim, info.st_ctim);
        checkTime(node, [&] { return *path; });
        node.place = std::move(path);
        ++files_;
        out = std::move(node);
        return true;
    }

    // A link in a folder: a link where every file system holds links; else the file it leads to
    // inside what was chosen, or a link only where links go (or nothing), with a warning.
    bool layOutLink(int folder, const std::string& name,
                    const std::shared_ptr<const std::string>& folderPath, const struct statx& info,
                    std::optional<LaidOutNode>& out) {
        const std::string path = *folderPath + "/" + name;
        // Some file systems say 0 for a link's size.
        std::string target(std::max<std::size_t>(info.stx_size, PATH_MAX) + 1, '\0');
        const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
            return fail(path + (length < 0 ? ": " + systemReason(errno)
                                           : std::string(" changed while it was read")));
        }
        target.resize(static_cast<std::size_t>(length));
        if (!isValidUtf8(target)) {
            return leaveOut(path, "a link whose target is not valid UTF-8");
        }
        LaidOutNode node;
        node.name = name;
        node.kind = LaidOutNode::Kind::Link;
        node.place = std::make_shared<const std::string>(target);
        setAttributes(
            node, 0777, info.stx_uid, info.stx_gid,
            {static_cast<time_t>(info.stx_mtime.tv_sec), static_cast<long>(info.stx_mtime.tv_nsec)},
            {static_cast<time_t>(info.stx_ctime.tv_sec),
             static_cast<long>(info.stx_ctime.tv_nsec)});
        if (linksEverywhere_) {
            checkTime(node, [&] { return path; });
            out = std::move(node);
            return true;
        }
        std::string resolved;
        const std::string where = whereItLeads(path, resolved);
        if (where.empty()) {
            // A file inside what was chosen: this file, under the link's name.
            return layOutFile(name, std::make_shared<const std::string>(resolved), false, out);
        }
        if (udf_) {
            return leaveOut(path, "a link " + where + ": UDF holds no links");
        }
        Log::warning(
            "Data layout: left out of the Joliet tree %@, a link %@: Joliet holds no "
            "links (Rock Ridge keeps it)",
            {path, where});
        checkTime(node, [&] { return path; });
        out = std::move(node);
        return true;
    }

    // A node of the caller's tree: virtual folders hold what was added to them.
    bool layOutObject(const DRFSObject& object, std::int64_t now, int depth,
                      std::optional<LaidOutNode>& out, const std::string& where) {
        if (!checkName(object.name(), where)) {
            return false;
        }
        if (!object.isVirtual()) {
            return layOutReal(object, object.name(), depth, out);
        }
        LaidOutNode node;
        node.name = object.name();
        node.kind = LaidOutNode::Kind::Folder;
        setVirtualAttributes(node, now);
        checkDepth(depth, "folder \"" + object.name() + "\"");
        if (!layOutChildren(static_cast<const DRFolder&>(object), now, depth, node)) {
            return false;
        }
        out = std::move(node);
        return true;
    }

    bool layOutReal(const DRFSObject& object, const std::string& name, int depth,
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
        return layOutPath(name, path, depth, out);
    }

    // The children of `folder`, which lies at `depth`.
    bool layOutChildren(const DRFolder& folder, std::int64_t now, int depth, LaidOutNode& node) {
        const std::string where = "folder \"" + folder.name() + "\"";
        for (const auto& child : folder.children()) {
            std::optional<LaidOutNode> laidOut;
            if (!layOutObject(*child, now, depth + 1, laidOut, where)) {
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

    // A folder that exists only in the layout: made now by whoever burns.
    static void setVirtualAttributes(LaidOutNode& node, std::int64_t now) {
        setAttributes(node, 0755, ::geteuid(), ::getegid(), {static_cast<time_t>(now), 0}, {});
    }

    // Items left out so far, and files laid out.
    std::size_t leftOut() const { return leftOut_; }
    std::size_t files() const { return files_; }

private:
    static constexpr const char* kMadeUpReason =
        "on a file system whose file sizes are not real (procfs, sysfs and the like)";

    static void setAttributes(LaidOutNode& node, mode_t mode, uid_t owner, gid_t group,
                              const timespec& modified, const timespec& changed) {
        node.mode = static_cast<std::uint16_t>(mode & 07777);
        node.owner = owner;
        node.group = group;
        node.modified = modified.tv_sec;
        node.modifiedNanoseconds = modified.tv_nsec;
        node.changed = changed;
    }

    // Where a link that is no file of the selection leads, for the warning that leaves it out;
    // empty for a link to a plain file inside what was chosen, whose path goes to `resolved`.
    std::string whereItLeads(const std::string& path, std::string& resolved) const {
        char* target = ::realpath(path.c_str(), nullptr);
        if (!target) {
            const int reason = errno;
            return reason == ELOOP ? "that leads round in a loop"
                   : reason == ENOENT || reason == ENOTDIR
                       ? "that leads nowhere"
                       : "that cannot be followed (" + systemReason(reason) + ")";
        }
        resolved = target;
        std::free(target);
        if (!liesUnder(resolved, chosen_)) {
            return "to " + resolved + ", outside what was chosen";
        }
        struct stat info {};
        if (::stat(resolved.c_str(), &info) != 0) {
            return "that leads nowhere";
        }
        if (S_ISDIR(info.st_mode)) {
            return "to the folder " + resolved;
        }
        return S_ISREG(info.st_mode) ? std::string() : "to " + std::string(whatItIs(info.st_mode));
    }

    // Warns of a time that the disc's file systems cannot hold.
    // `path` is only made when there is something to say.
    template <typename Path>
    void checkTime(const LaidOutNode& node, const Path& path) const {
        const std::int64_t recorded = recordedTime(node.modified, mask_);
        if (recorded != node.modified) {
            Log::warning(
                "Data layout: %@ is dated %@, which the disc cannot hold; it goes on the "
                "disc dated %@",
                {std::string(path()), utcText(node.modified), utcText(recorded)});
        }
    }

    // Warns of the folders of a disc for players that lie deeper than players read.
    void checkDepth(int depth, const std::string& path) const {
        // Rock Ridge relocates such a folder, and players do not find it.
        if (forPlayers_ && depth == kFolderDepthBeyondIso9660) {
            Log::warning(
                "Data layout: %@ lies deeper than the 8 folder levels that players read; "
                "they may not find its files",
                {path});
        }
    }

    // Warns of an item that no disc can hold; the layout goes on without it.
    bool leaveOut(const std::string& path, std::string_view why) {
        Log::warning("Data layout: left out %@, %@", {path, why});
        ++leftOut_;
        return true;
    }

    // A path that would not open; `follow` where its links were to be followed.
    bool failOpening(const std::string& path, bool follow) {
        const int reason = errno;
        if (!follow && reason == ELOOP) {
            return fail(path + " was replaced by a link while its folder was read");
        }
        return fail(path + ": " + systemReason(reason));
    }

    bool fail(std::string reason) {
        error_ = std::move(reason);
        return false;
    }

    std::string& error_;
    std::uint32_t mask_;
    bool forPlayers_;
    std::vector<std::string> chosen_;
    bool linksEverywhere_;
    bool udf_;
    std::set<std::pair<dev_t, ino_t>> ancestors_;
    std::size_t leftOut_ = 0;
    std::size_t files_ = 0;
};

}  // namespace

std::string LaidOutNode::sourcePath() const {
    if (!place || isLink()) {
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

std::int64_t recordedTime(std::int64_t time, std::uint32_t mask) {
    if ((mask & DRFilesystemInclusionMaskUDF) != 0) {
        return time;  // genisoimage records the times itself
    }
    std::int64_t first = kIso9660First;
    std::int64_t last = kIso9660Last;
    if ((mask & DRFilesystemInclusionMaskHFSPlus) != 0) {
        first = kHfsPlusFirst;
        last = kHfsPlusLast;
    }
    return std::clamp(time, first, last);
}

std::optional<FolderLayout> layOutFolder(const DRFolder& root, std::string& error) {
    FolderLayout layout;
    layout.volumeName = root.name();
    layout.mask = effectiveFilesystemMask(root.explicitFilesystemMask());
    layout.forPlayers = root.forPlayers();
    layout.laidOutAt = static_cast<std::int64_t>(std::time(nullptr));
    layout.root.kind = LaidOutNode::Kind::Folder;
    Walker::setVirtualAttributes(layout.root, layout.laidOutAt);

    std::vector<std::string> chosen;
    collectChosenPaths(root, chosen);
    Walker walker(error, layout, std::move(chosen));
    if (root.isVirtual()) {
        if (!walker.layOutChildren(root, layout.laidOutAt, 0, layout.root)) {
            return std::nullopt;
        }
    } else {
        // A folder from disk as the root: its contents are the disc's.
        std::optional<LaidOutNode> node;
        if (!walker.layOutReal(root, root.name(), 0, node)) {
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
