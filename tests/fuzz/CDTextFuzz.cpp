// CD-Text and cue sheets made from any texts. The input, cut at NUL bytes: first the track count
// (its first byte), the pre-gap step (its second) and the language (the rest); then one text per
// piece, for the disc and each track in turn, field by field ("\x01" stands for no text).
// The packs must be well-formed, and the cue sheet must read back as the tracks and texts it
// was made of.

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>

#include "FuzzSupport.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/CueSheet.h"

using namespace kilnware;
using namespace kilnware::platform;
using media::CDText;
using media::CDTextField;

namespace {

// CRC-16/CCITT over a pack's first 16 bytes, stored inverted, high byte first.
bool packCrcHolds(const std::uint8_t* pack) {
    unsigned crc = 0;
    for (int i = 0; i < 16; ++i) {
        crc ^= static_cast<unsigned>(pack[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1) & 0xFFFF;
        }
    }
    return (~crc & 0xFFFF) == (static_cast<unsigned>(pack[16]) << 8 | pack[17]);
}

void checkPacks(const CDText& text, std::size_t tracks) {
    std::string error;
    const auto file = media::cdTextFile(text, tracks, error);
    if (!file) {
        fuzz::require(!error.empty(), "a refusal says why");
        return;
    }
    const std::size_t packs = (file->size() - 4) / 18;
    fuzz::require(file->size() == 4 + packs * 18 && packs > 0, "whole packs behind a header");
    fuzz::require(((*file)[0] << 8 | (*file)[1]) == static_cast<int>(packs * 18 + 2),
                  "the header gives the length of the packs plus 2");
    for (std::size_t i = 0; i < packs; ++i) {
        const std::uint8_t* pack = file->data() + 4 + i * 18;
        fuzz::require(pack[0] >= 0x80 && pack[0] <= 0x8F, "a pack type of CD-Text");
        // The size information (0x8F) counts its own three packs there.
        fuzz::require(pack[0] == 0x8F || (pack[1] & 0x7F) <= tracks, "a track the disc has");
        fuzz::require(pack[2] == static_cast<std::uint8_t>(i), "packs are numbered in order");
        fuzz::require(packCrcHolds(pack), "every pack's CRC holds");
    }
}

// What the reader gives for a text the writer put on a cue line: the printable UTF-8 of it.
std::string readBack(const std::string& text) {
    std::string printable = media::printableUtf8(text);
    std::replace(printable.begin(), printable.end(), '"', '\'');
    return printable;
}

void checkCueSheet(const CDText& text, const media::CdLayout& cd) {
    const auto& tracks = cd.tracks;
    std::uint64_t blocks = 0;
    for (const auto& track : tracks) {
        blocks += track.blocks;
    }
    fuzz::scratchFile("a.bin", std::string(blocks * 2352, '\0'));
    const std::string sheet = media::cueSheet("a.bin", cd, text, std::string("a.cdt"));
    std::string error;
    const auto read = DRBurn::layoutForCueSheet(fuzz::scratchFile("a.cue", sheet), error);
    fuzz::require(read.has_value(), "the cue sheet written reads back");
    const auto burned = DRBurn::tracksOfLayout(read->layout);
    fuzz::require(burned.size() == tracks.size(), "as many tracks");
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        fuzz::require(burned[i]->estimateLength() == tracks[i].blocks, "each track's length");
        fuzz::require(burned[i]->properties()[DRPreGapLengthKey].uint64Value() == tracks[i].silence,
                      "each track's pre-gap");
    }
    fuzz::require(isValidUtf8(sheet), "the cue sheet is UTF-8");
    const char* keys[] = {DRCDTextTitleKey, DRCDTextPerformerKey, DRCDTextSongwriterKey};
    for (std::size_t entry = 0; entry <= tracks.size(); ++entry) {
        for (std::size_t field = 0; field < 3; ++field) {
            const auto& given = text.get(entry, static_cast<CDTextField>(field));
            const Value got = read->cdText ? read->cdText->objectForKey(
                                                 keys[field], static_cast<std::uint32_t>(entry))
                                           : Value();
            fuzz::require(given ? got.text() && *got.text() == readBack(*given) : got.isNone(),
                          "each text reads back as written");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto pieces = fuzz::split({reinterpret_cast<const char*>(data), size}, '\0');
    const std::string& head = pieces.front();
    const std::size_t trackCount = head.empty() ? 1 : 1 + static_cast<unsigned char>(head[0]) % 20;
    const std::uint64_t preGapStep = head.size() < 2 ? 0 : static_cast<unsigned char>(head[1]);
    CDText text;
    text.language = head.size() < 2 ? "" : head.substr(2);
    text.entries.resize(trackCount + 1);
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::size_t slot = (i - 1) % ((trackCount + 1) * media::kCDTextFieldCount);
        if (pieces[i] != "\x01") {
            text.entries[slot / media::kCDTextFieldCount][slot % media::kCDTextFieldCount] =
                pieces[i];
        }
    }
    media::CdLayout cd;
    for (std::size_t i = 0; i < trackCount; ++i) {
        cd.tracks.emplace_back().blocks = 1 + i % 3;
        cd.tracks.back().silence = preGapStep * i;
    }
    checkPacks(text, trackCount);
    checkCueSheet(text, cd);
    return 0;
}
