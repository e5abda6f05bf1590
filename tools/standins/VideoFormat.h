#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kilnware::standins {

enum class VideoStandard { PAL, NTSC };

const char* standardName(VideoStandard standard);

// The fields of an MPEG-1/2 video sequence header that decide the television standard.
struct SequenceHeader {
    int width = 0;
    int height = 0;
    int aspectCode = 0;
    int frameRateCode = 0;
};

// The first sequence header (start code 00 00 01 B3) in `data` whose sizes and frame rate code
// are not zero and whose marker bit is set.
std::optional<SequenceHeader> findSequenceHeader(const unsigned char* data, std::size_t size);

// PAL for 720, 704 or 352 x 576 and 352 x 288 at 25 frames a second; NTSC for 720, 704 or 352 x
// 480 and 352 x 240 at 29.97 (or film at 23.976). Anything else has no place on a video DVD.
std::optional<VideoStandard> standardOf(const SequenceHeader& header);

// Only the start of a file is read: a DVD-ready stream repeats its sequence header every group
// of pictures, so the first one sits in the first kilobytes.
inline constexpr std::size_t kProbeBytes = 4 * 1024 * 1024;

struct Probe {
    std::optional<VideoStandard> standard;
    std::optional<SequenceHeader> header;
    // Why there is no standard, when there is none.
    std::string problem;
    // Whether the file's start was read: a problem then lies in what it holds.
    bool read = false;
};

// Opens `path` (a regular file only: a FIFO read here would lose what dvdauthor needs) and
// finds its standard.
Probe probeVideoFile(const std::string& path);

}  // namespace kilnware::standins
