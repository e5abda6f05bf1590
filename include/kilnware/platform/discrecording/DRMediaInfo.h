#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

// A track or a session of a medium, for DRDeviceMediaSessionsKey: its number (from 1), first block
// and length in blocks.
struct KILNWARE_EXPORT DRMediaTrack {
    std::uint32_t number = 0;
    bool audio = false;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
};
struct KILNWARE_EXPORT DRMediaSession {
    std::uint32_t number = 0;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::vector<DRMediaTrack> tracks;
};

// A medium as an engine describes it, for the DRDeviceMediaInfoKey dictionary of a recorder's
// status. Spaces in frames follow the block counts unless an engine gives its own.
struct KILNWARE_EXPORT DRMediaInfo {
    std::optional<std::string> type;  // a DRDeviceMediaType... text; none leaves the key out
    std::optional<std::string> mediaClass;
    std::uint64_t blocksFree = 0;
    std::uint64_t blocksUsed = 0;
    std::uint64_t blocksOverwritable = 0;
    std::optional<std::int32_t> framesFree;
    std::optional<std::int32_t> framesUsed;
    std::optional<std::int32_t> framesOverwritable;
    bool blank = false;
    bool appendable = false;
    bool overwritable = false;
    bool erasable = false;
    // What it holds (see DRDeviceMediaSessionsKey and the keys after it); empty ones are left out.
    std::vector<DRMediaSession> sessions;
    std::optional<std::string> content;  // a DRDeviceMediaContent... text
    std::optional<std::string> fileSystem;
    std::optional<std::string> volumeName;

    Dictionary dictionary() const;
};

// Why no session can be added to an open medium whose sessions cannot be read (libburn's file
// that may only be written): a session is laid out on the newest one's tree. The engines and the
// hosts say it alike, after what the medium holds.
inline constexpr std::string_view kSessionsUnreadable =
    "its sessions cannot be read back, so no session can be added after them";

}  // namespace kilnware::platform
