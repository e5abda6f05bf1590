#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

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

    Dictionary dictionary() const;
};

}  // namespace kilnware::platform
