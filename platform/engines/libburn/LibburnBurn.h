#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRBurn.h>

#include "platform/media/CdLayout.h"

namespace kilnware::platform::libburn {

// Runs test code on the burn's thread once the tracks are written and before they are read back.
using VerifyHook = std::function<void(const std::string& address)>;

// Burns `layout` with the recorder at `address` on the calling thread, reporting progress through
// `burn`: grabs the drive, writes, reads the data tracks back when the burn asks for verification,
// and releases the drive. Returns the failure text, or nothing when the burn succeeded.
std::string burnLayout(const std::string& address, const std::shared_ptr<DRBurn>& burn,
                       const Value& layout, const VerifyHook& beforeVerify);

// A CD written track at once (libburn's way with data and audio on one disc) takes each track's
// stream whole, after a gap of 2 seconds that the recorder writes: it cannot carry CD-Text (the
// refusal says so), and gaps other than the recorder's come out otherwise (the warnings say how).
struct TrackAtOnce {
    std::string refusal;
    std::vector<std::string> warnings;
};
TrackAtOnce trackAtOnce(const media::CdLayout& cd, bool cdText);

// What a burn handed to libburn, as libburn holds it where libburn can say (modes, sizes,
// sessions) and as it was accepted where libburn cannot (gaps, indices, codes, options). Tests
// hold it against what the layout promises; libburn takes the disc model from any drive, so no
// recorder is needed for that.
struct GivenTrack {
    int mode = 0;     // burn_track_get_mode: BURN_AUDIO or BURN_MODE1 with the control bits
    int sectors = 0;  // burn_track_get_sectors: the stream, without the pre-gap
    int preGap = 0;   // burn_track_set_pregap_size; 0 when none was given
    std::vector<unsigned> indices;  // burn_track_set_index, from index 0 or 1 on
    std::string isrc;               // burn_track_set_isrc_string
};
struct GivenBurn {
    std::vector<std::vector<GivenTrack>> sessions;
    std::string catalog;                    // the media catalog number, when written
    std::vector<std::uint8_t> cdTextPacks;  // the lead-in's packs, 18 bytes each
    bool simulate = false;
    int speed = 0;           // kilobytes a second, 0 the fastest
    int writeType = 0;       // libburn's choice, BURN_WRITE_NONE for none
    bool cancelled = false;  // the write was called off in libburn
};
// Test code that sees each burn of the process: called on the burn's thread once the write type
// is chosen (before a medium that cannot take the layout fails it), and again when the burn
// calls libburn's write off. Empty: nothing is watched.
void watchBurns(std::function<void(const GivenBurn&)> watch);

}  // namespace kilnware::platform::libburn
