#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DROperation.h>
#include <kilnware/platform/discrecording/DRTrack.h>

namespace kilnware::platform {

class DRCDTextBlock;

// A burn on one recorder. A layout is a track, a list of tracks, or a list holding a disc-image
// layout; lists may nest.
class KILNWARE_EXPORT DRBurn : public DROperation {
public:
    static std::shared_ptr<DRBurn> burnForDevice(std::shared_ptr<DRDevice> device);

    // The burn properties (DRCDTextKey and the like). A copy: change it and set it back.
    Dictionary properties() const;
    void setProperties(Dictionary properties);
    bool verifyDisc() const;
    void setVerifyDisc(bool verify);

    // Starts writing `layout` and returns at once. A layout without tracks, or a burn without a
    // recorder, fails through the status like any other failure.
    void writeLayout(const Value& layout);

    // A layout that burns the disc image at `path` as it stands, or null when the file is no disc
    // image: missing, empty, a folder, or without ISO 9660 or UDF volume descriptors.
    static std::shared_ptr<DRTrack> layoutForImageFile(const std::string& path);
    // The same; without a layout, `why` says why in words for a person.
    static std::shared_ptr<DRTrack> layoutForImageFile(const std::string& path, std::string& why);

    // A cue sheet as a layout, as the image recorder and rippers write them: one track per TRACK
    // (AUDIO, MODE1/2048 and MODE1/2352) over the FILEs beside the sheet, BINARY files as they
    // lie and WAVE, AIFF, FLAC and MP3 files decoded. Every byte of every FILE is burned: a track
    // runs from its INDEX 00 (or INDEX 01) to the next track's, across the ends of files, and
    // what comes before its INDEX 01 is its gap (DRPreGapFromStreamLengthKey); its PREGAP is
    // silence (DRPreGapLengthKey), its POSTGAP silence at its end, its ISRC and FLAGS (DCP, 4CH,
    // PRE) its properties. The CD-Text its TITLE, PERFORMER and SONGWRITER lines carry (UTF-8, or
    // ISO 8859-1 in a sheet that is not valid UTF-8) is for the burn's DRCDTextKey, its CATALOG
    // for DRMediaCatalogNumberKey. None, with `error` saying where and why, for a sheet this
    // cannot take.
    struct CueLayout {
        Value layout;
        std::shared_ptr<DRCDTextBlock> cdText;          // null without texts
        std::optional<std::string> mediaCatalogNumber;  // 13 digits
    };
    static std::optional<CueLayout> layoutForCueSheet(const std::string& path, std::string& error);

    // The tracks of a layout in burn order; empty when it holds anything but tracks.
    static std::vector<std::shared_ptr<DRTrack>> tracksOfLayout(const Value& layout);
    // The sectors of a disc that `layout` takes: each track's blocks (an audio track at least 4
    // seconds, as on every CD) and the pre-gaps before them, but for the first 2 seconds before
    // track 1, which lie before the disc's first block. 0 for a layout without tracks.
    static std::uint64_t sectorsOfLayout(const Value& layout);

    explicit DRBurn(std::shared_ptr<DRDevice> device) : DROperation(std::move(device)) {}

private:
    mutable std::mutex mutex_;
    Dictionary properties_;
};

// An erase of a rewritable medium.
class KILNWARE_EXPORT DRErase : public DROperation {
public:
    static std::shared_ptr<DRErase> eraseForDevice(std::shared_ptr<DRDevice> device);

    // DREraseTypeQuick (the default) or DREraseTypeComplete.
    std::string eraseType() const;
    void setEraseType(std::string type);

    // Starts the erase and returns at once.
    void start();

    explicit DRErase(std::shared_ptr<DRDevice> device) : DROperation(std::move(device)) {}

private:
    mutable std::mutex mutex_;
    std::string eraseType_ = DREraseTypeQuick;
};

}  // namespace kilnware::platform
