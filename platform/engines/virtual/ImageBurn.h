#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kilnware/platform/discrecording/DRBurn.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/media/CueSheet.h"

namespace kilnware::platform::image {

inline constexpr const char* kDefaultDiscName = "Kilnware Disc";
// Every audio track of a CD lasts at least 4 seconds.
inline constexpr std::uint64_t kMinimumAudioBlocks = 300;
inline constexpr double kCDSpeed1x = 176'400;     // bytes of audio a second
inline constexpr double kDVDSpeed1x = 1'385'000;  // bytes a second
inline constexpr double kBDSpeed1x = 4'495'625;   // bytes a second

// `name` made safe as a file name: no '/', no control character or byte that is not UTF-8, no
// '"' (cue sheets quote names), no leading dot or blank, at most 200 bytes. An empty result
// becomes the default disc name.
std::string safeFileName(std::string_view name);

// What a burn will write, worked out before anything is.
struct BurnPlan {
    // BIN/CUE for audio and for several tracks (data as raw sectors of mode 1), ISO for one data
    // or disc-image track.
    enum class Form { BinCue, Image };
    Form form = Form::BinCue;
    std::vector<std::shared_ptr<DRTrack>> tracks;
    std::vector<std::uint64_t> trackBlocks;  // blocks each track fills in the image
    media::CdLayout cd;                      // BIN/CUE only: gaps, ISRCs, flags, catalog number
    std::uint64_t blocksToWrite = 0;
    std::uint64_t blocksOnDisc = 0;  // with the pre-gaps
    std::string name;                // safe as a file name
    media::CDText text;
    std::optional<std::vector<std::uint8_t>> cdTextFile;
    bool verify = false;
    double bytesPerSecond = 0;  // 0: as fast as it goes
    double speed1x = kCDSpeed1x;
};

struct Medium {
    std::uint64_t capacity = 0;  // blocks
    bool isCD = true;
    double speed1x = kCDSpeed1x;  // bytes a second at 1x on this medium
};

// Checks `tracks` against the medium and the burn's properties; none, with `error` set, when the
// burn cannot be made.
std::optional<BurnPlan> planBurn(const DRBurn& burn, std::vector<std::shared_ptr<DRTrack>> tracks,
                                 Medium medium, std::string& error);

// The time a burn paces itself and reports by. Tests put in a clock of their own, so that what
// they see never depends on how fast the machine is.
class BurnClock {
public:
    virtual ~BurnClock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void sleepFor(std::chrono::steady_clock::duration duration) = 0;
};

// The clock of every burn started from now on; nullptr brings the steady clock back.
void setBurnClock(std::shared_ptr<BurnClock> clock);

struct BurnOutcome {
    std::optional<std::string> error;  // none on success
    std::vector<std::string> files;    // on success, the image first
};

// Writes the plan into the folder open at `folder` (opened here from `folderPath` when it is
// none), reporting progress through `operation` (but not the end, which is the caller's).
// `folderPath` names the folder in messages and in the files' paths. Runs on the burn's own
// thread.
BurnOutcome runBurn(const BurnPlan& plan, UniqueFd folder, const std::string& folderPath,
                    DROperation& operation,
                    const std::function<void(const std::string&)>& beforeVerify);

}  // namespace kilnware::platform::image
