// The cue sheet reader of BIN/CUE images: any text, beside a BIN file of 20 raw sectors, gives
// tracks that lie inside that file, or a reason.

#include <kilnware/platform/discrecording/DRBurn.h>

#include "FuzzSupport.h"

using namespace kilnware;
using platform::DRBurn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string bin = fuzz::scratchFile("a.bin", std::string(20 * 2352, '\0'));
    std::string error;
    const auto sheet = DRBurn::layoutForCueSheet(
        fuzz::scratchFile("sheet.cue", {reinterpret_cast<const char*>(data), size}), error);
    fuzz::require(sheet.has_value() == error.empty(), "a refusal says why, and only a refusal");
    if (!sheet) {
        return 0;
    }
    const auto tracks = DRBurn::tracksOfLayout(sheet->layout);
    fuzz::require(!tracks.empty(), "a sheet taken has tracks");
    for (const auto& track : tracks) {
        fuzz::require(track->estimateLength() > 0, "no track is empty");
        if (const auto extent = track->fileExtent()) {
            fuzz::require(
                extent->offset + extent->length <= (extent->path == bin ? 20 * 2352 : size),
                "a track lies inside its file");
        }
    }
    return 0;
}
