#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/media/CdLayout.h"

namespace kilnware::platform {
class DRCDTextBlock;
}

namespace kilnware::platform::media {

// The CD-Text fields that a cue sheet and the CD-Text packs carry, by pack type: title (0x80),
// performer, songwriter, composer, arranger, message (0x85).
enum class CDTextField { Title, Performer, Songwriter, Composer, Arranger, Message };
inline constexpr std::size_t kCDTextFieldCount = 6;

// One language's texts in UTF-8: element 0 is the disc, element n is track n.
struct CDText {
    std::string language;  // as the block names it; "" for none
    std::vector<std::array<std::optional<std::string>, kCDTextFieldCount>> entries;

    bool empty() const;
    const std::optional<std::string>& get(std::size_t entry, CDTextField field) const;
};

// The texts of `block` for a disc of `trackCount` tracks; keys other than the engine's CD-Text
// keys, and values that are not texts, are left out.
CDText cdTextFromBlock(const DRCDTextBlock& block, std::size_t trackCount);

// UTF-8 as a line of a cue sheet or a CD-Text pack may hold it: a byte that is not UTF-8 becomes
// U+FFFD, a control character (C0, DEL, C1; line breaks too) a blank.
std::string printableUtf8(std::string_view utf8);

// "mm:ss:ff" for a count of CD frames (75 a second).
std::string msf(std::uint64_t frames);

// A CDRWIN cue sheet for the tracks of `layout` held one after the other in one BIN file, each
// `blocks` long there (audio as it is, data as raw 2352-byte sectors of mode 1): the catalog
// number, each track's flags, ISRC, gap and index points, the texts. UTF-8 throughout; a '"'
// inside a text or a file name becomes '\'', and no control character reaches a line.
std::string cueSheet(const std::string& binName, const CdLayout& layout, const CDText& text,
                     const std::optional<std::string>& cdTextFileName);

// The CD-Text packs of `text` (18 bytes each, CRC included) as a .cdt file holds them: behind a
// 4-byte header that gives the length of the packs plus 2, as cdrecord writes it. The block's
// character code is the one that holds its texts: ISO 8859-1, else MS-JIS; where neither holds
// them all, ISO 8859-1 with the closest form of each text it cannot hold, and a warning. On
// failure, none, and `error` says why.
std::optional<std::vector<std::uint8_t>> cdTextFile(const CDText& text, std::size_t trackCount,
                                                    std::string& error);

}  // namespace kilnware::platform::media
