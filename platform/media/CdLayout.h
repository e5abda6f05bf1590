#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kilnware/platform/discrecording/DRTrack.h>

namespace kilnware::platform::media {

// What a CD's recorder writes of one track beside its stream: where its gap lies and what its
// sub-channel says. Frames are 75 a second; a block is 2352 bytes of audio or 2048 of data.
struct CdTrack {
    bool audio = true;
    std::uint64_t blocks = 0;  // the track's stream
    // Frames of silence before the stream, written by the recorder. On track 1 they are the
    // pause before the disc's first block, which is at least 150.
    std::uint64_t silence = 0;
    std::uint64_t gapInStream = 0;  // frames at the stream's start that come before index 1
    std::optional<std::string> isrc;
    bool preEmphasis = false;
    bool fourChannels = false;
    bool copyPermitted = false;
};

struct CdLayout {
    std::vector<CdTrack> tracks;
    std::optional<std::string> catalog;  // the Media Catalog Number
};

// Frames of the pause before track 1 that every CD has, ahead of the first block a cue sheet or
// a table of contents counts.
inline constexpr std::uint64_t kFirstPreGap = 150;

// An ISRC as a CD carries it (CCOOOYYSSSSS: country and owner letters or digits, year and serial
// digits), in capitals; none for anything else.
std::optional<std::string> isrcOf(std::string_view text);
// A Media Catalog Number: 13 digits.
bool isCatalogNumber(std::string_view text);

// The CD that `tracks` make, by their properties and the burn's (DRMediaCatalogNumberKey): gaps,
// ISRCs and control flags. A track after one of the other mode gets the gap the format asks
// (2 seconds before audio, 3 before data). None, with `error` saying why, for what a CD cannot
// carry: a malformed ISRC or catalog number, audio flags or a gap in the stream of a data track,
// a gap longer than its track.
std::optional<CdLayout> cdLayout(const std::vector<std::shared_ptr<DRTrack>>& tracks,
                                 const Dictionary& burnProperties, std::string& error);

}  // namespace kilnware::platform::media
