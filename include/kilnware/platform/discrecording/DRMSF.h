#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <kilnware/Export.h>

namespace kilnware::platform {

// A CD address or length in minutes, seconds and frames, 75 frames to the second. There are no
// hours: the minutes grow without bound.
class KILNWARE_EXPORT DRMSF {
public:
    static constexpr std::uint32_t kFramesPerSecond = 75;
    static constexpr std::uint32_t kFramesPerMinute = 60 * kFramesPerSecond;

    constexpr DRMSF() = default;
    constexpr explicit DRMSF(std::uint32_t frames) : sectors_(frames) {}
    static DRMSF msfWithFrames(std::uint32_t frames) { return DRMSF(frames); }

    // The whole count of frames.
    std::uint32_t sectors() const { return sectors_; }
    std::uint32_t minutes() const { return sectors_ / kFramesPerMinute; }
    // Within the minute, 0 to 59.
    std::uint32_t seconds() const { return sectors_ / kFramesPerSecond % 60; }
    // Within the second, 0 to 74.
    std::uint32_t frames() const { return sectors_ % kFramesPerSecond; }

    // Renders the time by `format`: "%m" minutes, "%s" seconds, "%f" frames, each optionally with a
    // width ("%2s", space-padded) or a zero-padded width ("%02s"); "%%" is a percent sign.
    // Anything else, an unknown or unfinished directive included, is copied as it stands.
    std::string descriptionWithFormat(std::string_view format) const;

    friend bool operator==(const DRMSF&, const DRMSF&) = default;

private:
    std::uint32_t sectors_ = 0;
};

}  // namespace kilnware::platform
