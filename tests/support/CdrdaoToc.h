#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kilnware::test {

// A track as cdrdao reads a cue sheet (`cdrdao show-toc`): frames are counted from the first
// block of the program area, as cdrdao prints them.
struct TocTrack {
    std::string mode;  // "AUDIO", "MODE1_RAW", ...
    std::uint64_t preGap = 0;
    std::uint64_t start = 0;  // index 1
    std::uint64_t end = 0;
    std::string isrc;  // as cdrdao prints it: "US ABC 12 34567"
    bool copyPermitted = false;
    bool preEmphasis = false;
    bool fourChannels = false;
};
struct Toc {
    std::string catalog;
    std::vector<TocTrack> tracks;
    std::string said;  // everything cdrdao wrote, for a failing test's message
};

// cdrdao's reading of the cue sheet at `cue`; no tracks when cdrdao refused it.
Toc cdrdaoToc(const std::string& cue);

}  // namespace kilnware::test
