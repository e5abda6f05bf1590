#pragma once

// The progress line of a burn or erase, made to fit the terminal's width.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kilnware::cli {

struct Progress {
    double fraction = 0;  // 0 to 1
    std::string state;    // "TrackWrite", "Erasing"...
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;  // 0 when unknown
    double speed = 0;              // a multiple of the medium's 1x; 0 when unknown
    double secondsLeft = 0;        // 0 when unknown
};

// "[######------]  42% TrackWrite  295 of 702 MB  4x  1:23 left", shortened to at most `width`
// columns: the bar goes first, then the speed, the sizes and the time left; the percentage and
// the state stay (cut at the edge on a terminal narrower than they are). Without `bar`, the
// line alone.
std::string progressLine(const Progress& progress, std::size_t width, bool bar);

}  // namespace kilnware::cli
