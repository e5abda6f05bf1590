#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kilnware::platform::media {

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Where the samples of a WAV file lie when they are CD audio as it stands (PCM, 16-bit, 2
// channels, 44,100 Hz, little-endian): the data chunk, cut to whole frames and to the file's end.
// None for anything else, which has to be decoded.
std::optional<ByteRange> cdAudioInWav(const std::string& path);

}  // namespace kilnware::platform::media
