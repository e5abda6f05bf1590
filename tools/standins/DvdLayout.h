#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kilnware::standins {

inline constexpr std::uint64_t kSectorBytes = 2048;
// A dual-layer DVD+R, the largest disc a video DVD goes on.
inline constexpr std::uint64_t kLargestDiscSectors = 4173824;

// Where the files of a VIDEO_TS folder must lie on the disc. A player finds them through sector
// numbers in the IFO files, counted from the start of VIDEO_TS.IFO: VIDEO_TS.IFO, VIDEO_TS.VOB
// and VIDEO_TS.BUP first, then for each title set its IFO, menu VOB, title VOBs and BUP.
// dvdauthor leaves gaps (after a VIDEO_TS.IFO without a menu, for one), so each file comes with
// the sectors of padding that must precede it.
struct DvdLayout {
    struct Item {
        std::string name;  // inside VIDEO_TS
        std::uint64_t paddingBefore = 0;
        std::uint64_t sectors = 0;
    };
    std::vector<Item> items;
};

// What the planner learns of a VIDEO_TS folder. Either call may throw DvdLayoutError.
struct DvdLayoutError {
    std::string message;
};
class DvdFiles {
public:
    virtual ~DvdFiles() = default;
    // The size of the plain file `name`; none when there is no such entry.
    virtual std::optional<std::uint64_t> size(const std::string& name) const = 0;
    // The bytes of the IFO file `name`.
    virtual std::string read(const std::string& name) const = 0;
};

// Plans the layout of `videoTs`, a VIDEO_TS folder that holds VIDEO_TS.IFO. None, with `error`
// set, when an IFO is unreadable or malformed, a file it needs is missing or not a plain file, or
// the files cannot be placed where the IFOs say (one would overlap the next).
std::optional<DvdLayout> planDvdLayout(const std::string& videoTs, std::string& error);
// The same for files given some other way (the fuzz target gives them from memory).
std::optional<DvdLayout> planDvdLayout(const DvdFiles& files, std::string& error);

}  // namespace kilnware::standins
