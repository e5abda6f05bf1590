#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <kilnware/platform/discrecording/DRTrack.h>

#include "platform/media/FolderLayout.h"

struct Iso_Image;  // libisofs' IsoImage

namespace kilnware::platform::media {

// A file-system image of a laid-out folder tree, shared by every engine: its size is known before
// any byte is written, and each reader streams the whole image anew.
//
// The mask chooses the file systems, each standing alone:
// - ISO 9660 (1): level 3 (files of any size, in several extents when need be) with Rock Ridge, so
//   that names, case, links, owners and modes survive; the plain ISO 9660 names are the usual
//   mapped upper-case ones. Folders below its eight levels stand in a hidden folder of the root
//   (".rr_moved") for readers without Rock Ridge; Rock Ridge shows each at its place.
// - Joliet (2): names of up to 103 UTF-16 characters (longer ones are shortened), anything beyond
//   the basic plane in surrogate pairs, paths over 240 characters allowed: what Windows reads.
//   The same files stand in the plain ISO 9660 tree, with Rock Ridge, for players that read only
//   that and for Linux.
// - HFS+ (8): libisofs' HFS+ tree behind an Apple partition map; dates end early in 2040.
// - UDF (4): UDF 1.02 made by genisoimage, streamed through a pipe by each reader. Names it cannot
//   write (beyond UCS-2, too long, or its '_' for * : ; ? \ and control characters) are replaced,
//   with a warning; a UDF-only disc is called by its UDF name.
// libisofs' images carry its MD5 tags: of the session and of each file (see IsoImage.cpp).
// The ISO 9660 volume descriptor is always there; without bit 1 or 2 its tree stays empty. UDF
// cannot go with HFS+. The volume name is the root folder's name, mapped as each file system
// requires. Files keep their modification time, in every tree (within what it holds), and their
// owners and modes where the file system keeps them; on a disc for players everything is owned by
// root, folders are r-x for all, files r-- (r-x when any execute bit was set). Links are as the
// layout has them (layOutFolder).
class FilesystemImage {
public:
    virtual ~FilesystemImage();

    // The image of `layout`, or null with the reason in `error`.
    static std::unique_ptr<FilesystemImage> make(FolderLayout layout, std::string& error);

    // Length in 2048-byte blocks.
    virtual std::uint64_t blockCount() const = 0;
    // What a disc of the image is called.
    virtual std::string volumeName() const = 0;
    // A stream of exactly blockCount() blocks, or a failure with a readable reason.
    virtual std::unique_ptr<DRTrackReader> newReader() const = 0;
    // The layout of an image that libisofs makes (not UDF), for SessionTree.
    virtual std::shared_ptr<const FolderLayout> isoLayout() const { return nullptr; }
};

struct StreamsShared;

// A data track's files and folders as a writer that drives libisofs itself takes them: libisoburn,
// which adds them to the tree of a disc's last session and writes the next session. They are read
// from disk as the layout found them; a file that is not fails the session (`fault`).
class SessionTree {
public:
    // The tree of a track made from folders whose image libisofs makes; null for any other track.
    static std::unique_ptr<SessionTree> of(const DRTrack& track);
    explicit SessionTree(std::shared_ptr<const FolderLayout> layout);
    ~SessionTree();
    SessionTree(const SessionTree&) = delete;
    SessionTree& operator=(const SessionTree&) = delete;

    // Adds the files and folders to the root of `image` (read from a disc, or empty) and names the
    // volume: a folder the image holds already takes the new children in; any other name it
    // holds makes way only when `replace` says so, else this fails with `error` naming it. The
    // image must not outlive the tree.
    bool graft(Iso_Image* image, bool replace, std::string& error);
    // Why a file could not be read as the layout found it while the session was written, if so.
    std::optional<std::string> fault() const;

    // How the layout's images are written: which file systems, and the volume's time.
    struct Settings {
        bool rockRidge = false;
        bool joliet = false;
        bool hfsPlus = false;
        std::int64_t laidOutAt = 0;
    };
    Settings settings() const;

private:
    std::shared_ptr<const FolderLayout> layout_;
    std::shared_ptr<StreamsShared> shared_;
};

// Who reads the files of libisofs' image: its reader, from disk, where it can tell where libisofs
// puts them (else libisofs); only its reader (else no image: to compare); only libisofs, as for
// HFS+ (the same image, made the slow way).
enum class FilesReadBy { ReaderWherePossible, Reader, Libisofs };

// libisofs' image of a layout without UDF.
std::unique_ptr<FilesystemImage> makeIsoImage(
    FolderLayout layout, std::string& error,
    FilesReadBy filesReadBy = FilesReadBy::ReaderWherePossible);
// genisoimage's image of a layout with UDF.
std::unique_ptr<FilesystemImage> makeUdfImage(FolderLayout layout, std::string& error);

// The volume time ISO 9660 records for a layout made at `laidOutAt` (seconds since 1970, UTC), as
// "YYYYMMDDhhmmsscc": every image and session of one layout carries the same.
std::string volumeTimeStamp(std::int64_t laidOutAt);

// A reader that only reports `error`.
std::unique_ptr<DRTrackReader> failedReader(std::string error);

}  // namespace kilnware::platform::media
