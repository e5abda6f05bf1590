#pragma once

#include <sys/types.h>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/platform/foundation/FileIdentity.h>

namespace kilnware::platform {
class DRFolder;
}

namespace kilnware::platform::media {

// One node of a laid-out tree: what stood on disk when the layout was taken. Images are made from
// this snapshot alone, so every image of one layout has the same size.
struct LaidOutNode {
    // A link goes on the disc as a link, never followed; the file systems that hold no links get
    // none (see layOutFolder).
    enum class Kind : std::uint8_t { File, Folder, Link };

    std::string name;
    Kind kind = Kind::File;
    bool placeIsFolder = false;  // see place
    // The owner and the permission bits (07777), as they stood on disk.
    std::uint16_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    // Where the node lies on disk: its folder's path, to which its name is added, or (a file the
    // caller chose, or the file a link leads to, whose name on the disc may differ) its own path
    // whole. The files of a folder share its path, held once. A link holds its target here, as
    // the link reads.
    std::shared_ptr<const std::string> place;
    std::uint64_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t modified = 0;  // seconds since the epoch
    std::int64_t modifiedNanoseconds = 0;
    // Files: the inode's last change, which also sees a rewrite that put the old time back.
    timespec changed{};
    std::vector<LaidOutNode> children;  // sorted by name

    bool isFolder() const { return kind == Kind::Folder; }
    bool isLink() const { return kind == Kind::Link; }
    bool isFile() const { return kind == Kind::File; }
    const std::string& linkTarget() const { return *place; }
    // The absolute path read when the image is written; empty for a link.
    std::string sourcePath() const;
    // Files: the file as it was laid out. A file read for the image must still be that file.
    FileIdentity identity() const;
};

struct FolderLayout {
    std::string volumeName;  // the root folder's name, unmapped
    std::uint32_t mask = 0;  // the file systems to make, DRFilesystemInclusionMask* bits
    // A disc for players (DRFolder::setForPlayers): every file owned by root and readable by all.
    bool forPlayers = false;
    std::int64_t laidOutAt = 0;
    LaidOutNode root;
};

// The mask a root folder's explicit mask stands for: its known bits, or ISO 9660 + Joliet.
std::uint32_t effectiveFilesystemMask(std::uint32_t explicitMask);

// ISO 9660 holds eight levels of folders, the root among them: a folder at this depth (the root's
// children at 1) lies too deep for it.
inline constexpr int kFolderDepthBeyondIso9660 = 8;

// The time the file systems of `mask` record for `time` (seconds since the epoch): the time itself,
// or the nearest one they can all hold (HFS+ ends early in 2040, ISO 9660 in 2155). A disc with
// UDF is made by genisoimage, which records the times itself.
std::int64_t recordedTime(std::int64_t time, std::uint32_t mask);

// Takes the snapshot of the tree under `root`. The paths the caller chose are followed where they
// are links; inside them a link is never followed, and never out of what was chosen:
// - where every file system of the mask holds links (Rock Ridge, HFS+), it is a link;
// - elsewhere (Joliet; UDF, which genisoimage writes links into as empty files and 7-Zip does
//   not read them in), a link to a file inside a chosen path goes on as that file, and any other
//   link is left out with a warning: of the Joliet tree only (Rock Ridge and HFS+ keep it), or of
//   a UDF disc.
// Devices, sockets, pipes and whatever lies on a file system whose sizes are made up (procfs,
// sysfs...) are left out, each with a warning. Times the file systems cannot hold (recordedTime)
// are warned of, and on a disc for players the folders deeper than players read. Nothing, with the
// reason in `error`, when the tree cannot be laid out: something vanished or cannot be read, a
// name is not valid UTF-8, is empty, "." or "..", holds a '/' or is longer than 255 bytes, two
// children of one folder have the same name, or items were left out and no file remains.
std::optional<FolderLayout> layOutFolder(const DRFolder& root, std::string& error);

}  // namespace kilnware::platform::media
