#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <kilnware/platform/foundation/FileIdentity.h>

namespace kilnware::platform::media {

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The samples of a RIFF WAVE file as its chunks lay them out.
struct WavData {
    ByteRange there;               // the data chunk, cut to the file's end
    std::uint64_t announced = 0;   // the data chunk's length as its header gives it
    std::uint32_t blockAlign = 0;  // bytes per frame
    bool cdAudio = false;          // PCM, 16-bit, 2 channels, 44,100 Hz
    FileIdentity file;             // the file as cdAudioInWav read it
};

// The data chunk of the WAV file open at `fd`; none for anything that is no WAV file or has no
// data chunk.
std::optional<WavData> wavData(int fd);

// The data chunk of a WAV file that holds CD audio as it stands (PCM, 16-bit, 2 channels,
// 44,100 Hz, little-endian). None for anything else, which has
// to be decoded, and for anything that is no regular file.
std::optional<WavData> cdAudioInWav(const std::string& path);

// Logs that the WAV file at `path` holds fewer samples than its header says, if it does: what is
// there goes on the disc.
void warnIfCutShort(const std::string& path, const WavData& data);

// The texts of a WAV file's INFO list: INAM, IART and IPRD as they stand (the last of each),
// up to a NUL. None for a file that is no WAV file or carries ID3 tags, which the decoder's
// libraries read.
struct WavTags {
    std::string title;
    std::string artist;
    std::string album;
};
std::optional<WavTags> wavTags(int fd);

}  // namespace kilnware::platform::media
