#pragma once

#include <optional>
#include <string>

namespace kilnware::platform::media {

// What the volume descriptors of a disc image say about it.
struct DiscImageInfo {
    bool iso9660 = false;
    bool udf = false;
    std::optional<std::string> volumeName;  // the ISO 9660 volume identifier, blanks trimmed
};

// Reads the volume recognition area (sectors 16 to 31) of the file at `path`; none when the file
// cannot be read or is too short to hold it.
std::optional<DiscImageInfo> readDiscImageInfo(const std::string& path);
// The same, of the file open at `fd`.
std::optional<DiscImageInfo> readDiscImageInfo(int fd);

}  // namespace kilnware::platform::media
