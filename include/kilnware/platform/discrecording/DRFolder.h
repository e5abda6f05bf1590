#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware::platform {

// The file systems a data track can be laid out in, one bit each.
inline constexpr std::uint32_t DRFilesystemInclusionMaskISO9660 = 1;
inline constexpr std::uint32_t DRFilesystemInclusionMaskJoliet = 2;
inline constexpr std::uint32_t DRFilesystemInclusionMaskUDF = 4;
inline constexpr std::uint32_t DRFilesystemInclusionMaskHFSPlus = 8;

class DRFolder;

// A node of a data track's folder tree: a file or folder on disk, or a folder that exists only in
// the layout. What stands on disk is read when the track is made (DRTrack::trackForRootFolder),
// not when the node is created.
//
// Nodes are meant for one thread at a time.
class KILNWARE_EXPORT DRFSObject : public Object {
public:
    // The node's name on the disc; for a node made from a path, the path's last component.
    const std::string& name() const { return name_; }
    // The file or directory the node stands for, made absolute; none for a virtual folder.
    const std::optional<std::string>& sourcePath() const { return sourcePath_; }
    bool isVirtual() const { return !sourcePath_; }
    virtual bool isFolder() const = 0;
    // The folder this node was added to, if it still exists.
    std::shared_ptr<DRFolder> parent() const { return parent_.lock(); }

    std::string description() const override;

protected:
    DRFSObject(std::string name, std::optional<std::string> sourcePath);

private:
    friend class DRFolder;
    std::string name_;
    std::optional<std::string> sourcePath_;
    std::weak_ptr<DRFolder> parent_;
};

// A folder of the layout. A virtual folder holds the children added to it; a folder made from a
// path holds whatever is in that directory when the track is made, and takes no added children.
// Links inside it are never followed: they go on the disc as links where every file system of
// the mask holds links (ISO 9660 with Rock Ridge, HFS+). On Joliet and UDF discs a link to a file
// inside the paths made into nodes goes on as that file, and any other link is left out with a
// warning (of the Joliet tree only: Rock Ridge keeps it).
//
// The root folder's explicit file-system mask chooses the file systems of the track: each bit of
// DRFilesystemInclusionMask* present gives that file system, the others are left out. Bits other
// than those four are ignored. A root without a mask (or with none of the four bits) gets ISO 9660
// with Rock Ridge plus Joliet, which every common system reads. Masks of inner folders are kept
// but do not change the layout.
class KILNWARE_EXPORT DRFolder : public DRFSObject {
public:
    // A new, empty folder that exists only in the layout.
    static std::shared_ptr<DRFolder> virtualFolderWithName(std::string name);
    // A folder standing for the directory at `path` (followed where it is a link) with everything
    // in it; null when no directory stands there.
    static std::shared_ptr<DRFolder> folderWithPath(std::string path);

    // Adds `child` at the end. Refused (false, nothing changes) for a folder made from a path, for
    // a null child, a child that already has a parent, and this folder or one of its ancestors.
    bool addChild(std::shared_ptr<DRFSObject> child);
    // The children added so far, in order. Empty for a folder made from a path.
    const std::vector<std::shared_ptr<DRFSObject>>& children() const { return children_; }

    void setExplicitFilesystemMask(std::uint32_t mask) { mask_ = mask; }
    // The mask last set; 0 when none was set.
    std::uint32_t explicitFilesystemMask() const { return mask_; }

    // Read on the root folder. A disc for players (an MP3 CD) rather than a backup: every file
    // goes on it owned by root and readable by all, as `genisoimage -r` makes them, and folders
    // deeper than the eight levels that players read are warned of. Otherwise (the default) the
    // owners and modes stay as they are on disk, where the file system keeps them, so that a
    // backup restores them.
    void setForPlayers(bool forPlayers) { forPlayers_ = forPlayers; }
    bool forPlayers() const { return forPlayers_; }

    bool isFolder() const override { return true; }

    DRFolder(std::string name, std::optional<std::string> sourcePath)
        : DRFSObject(std::move(name), std::move(sourcePath)) {}

private:
    std::vector<std::shared_ptr<DRFSObject>> children_;
    std::uint32_t mask_ = 0;
    bool forPlayers_ = false;
};

// A file of the layout.
class KILNWARE_EXPORT DRFile : public DRFSObject {
public:
    // A file standing for what is at `path` (links followed); null when nothing stands there or a
    // directory does. Devices, sockets and pipes are accepted here but left out of the track.
    static std::shared_ptr<DRFile> fileWithPath(std::string path);

    bool isFolder() const override { return false; }

    DRFile(std::string name, std::string sourcePath)
        : DRFSObject(std::move(name), std::move(sourcePath)) {}
};

}  // namespace kilnware::platform
