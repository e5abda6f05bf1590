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
    std::string name;
    bool directory = false;
    bool executable = false;
    // Where the node lies on disk: its folder's path, to which its name is added, or (a file the
    // caller chose, whose name on the disc may differ) its own path whole. The files of a folder
    // share its path, held once.
    bool placeIsFolder = false;
    std::shared_ptr<const std::string> place;
    std::uint64_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t modified = 0;  // seconds since the epoch
    std::int64_t modifiedNanoseconds = 0;
    // Files: the inode's last change, which also sees a rewrite that put the old time back.
    timespec changed{};
    std::vector<LaidOutNode> children;  // sorted by name

    // The absolute path read when the image is written.
    std::string sourcePath() const;
    // Files: the file as it was laid out. A file read for the image must still be that file.
    FileIdentity identity() const;
};

struct FolderLayout {
    std::string volumeName;  // the root folder's name, unmapped
    std::uint32_t mask = 0;  // the file systems to make, DRFilesystemInclusionMask* bits
    std::int64_t laidOutAt = 0;
    LaidOutNode root;
};

// The mask a root folder's explicit mask stands for: its known bits, or ISO 9660 + Joliet.
std::uint32_t effectiveFilesystemMask(std::uint32_t explicitMask);

// Takes the snapshot of the tree under `root`. Symbolic links are followed; links that lead
// nowhere or back into their own ancestors, devices, sockets, pipes and whatever lies on a file
// system whose sizes are made up (procfs, sysfs...) are left out, each with a warning. Nothing,
// with the reason in `error`, when the tree cannot be laid out: something vanished or cannot be
// read, a name is not valid UTF-8, is empty, "." or "..", or holds a '/', two children of one
// folder have the same name, or items were left out and no file remains.
std::optional<FolderLayout> layOutFolder(const DRFolder& root, std::string& error);

}  // namespace kilnware::platform::media
