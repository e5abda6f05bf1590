#include "platform/media/CdLayout.h"

#include <algorithm>
#include <cctype>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::platform::media {

namespace {

// The frames a property gives, read as a double so that any kind of number works; a silly one
// only fails to fit.
std::uint64_t framesOf(const Value& value) {
    const double frames = value.doubleValue();
    return frames >= 1 ? static_cast<std::uint64_t>(std::min(frames, 1e9)) : 0;
}

}  // namespace

std::optional<std::string> isrcOf(std::string_view text) {
    if (text.size() != 12) {
        return std::nullopt;
    }
    std::string isrc;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (i < 5 ? !std::isalnum(c) : !std::isdigit(c)) {
            return std::nullopt;
        }
        isrc += static_cast<char>(std::toupper(c));
    }
    return isrc;
}

bool isCatalogNumber(std::string_view text) {
    return text.size() == 13 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::optional<CdLayout> cdLayout(const std::vector<std::shared_ptr<DRTrack>>& tracks,
                                 const Dictionary& burnProperties, std::string& error) {
    CdLayout layout;
    if (const Value& catalog = burnProperties[DRMediaCatalogNumberKey]; !catalog.isNone()) {
        const auto text = catalog.textValue();
        if (!text || !isCatalogNumber(*text)) {
            error = "The disc's catalog number (MCN) must be 13 digits.";
            return std::nullopt;
        }
        layout.catalog = text;
    }
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const Dictionary properties = tracks[i]->properties();
        const std::string which = "Track " + std::to_string(i + 1);
        CdTrack track;
        track.audio = tracks[i]->kind() == DRTrack::Kind::Audio;
        track.blocks = tracks[i]->estimateLength();
        track.silence = framesOf(properties[DRPreGapLengthKey]);
        track.gapInStream = framesOf(properties[DRPreGapFromStreamLengthKey]);
        if (const Value& isrc = properties[DRTrackISRCKey]; !isrc.isNone()) {
            track.isrc = isrcOf(isrc.textValue().value_or(""));
            if (!track.isrc) {
                error = which + "'s ISRC must be 12 characters: CCOOOYYSSSSS.";
                return std::nullopt;
            }
        }
        track.preEmphasis = properties[DRAudioPreEmphasisKey].boolValue();
        track.fourChannels = properties[DRAudioFourChannelKey].boolValue();
        track.copyPermitted = properties[DRTrackCopyPermittedKey].boolValue();
        if (!track.audio && (track.preEmphasis || track.fourChannels || track.gapInStream > 0)) {
            error = which +
                    " is a data track: pre-emphasis, four channels and a gap in its stream are "
                    "for audio.";
            return std::nullopt;
        }
        if (track.gapInStream >= track.blocks && track.gapInStream > 0) {
            error = which + "'s gap is as long as the track: its music has no place.";
            return std::nullopt;
        }
        // The silent pause before the first track; where the mode changes, a gap of two seconds
        // before audio and three before data, silence and the stream's own gap together.
        if (i == 0) {
            track.silence = std::max(track.silence, kFirstPreGap);
        } else if (layout.tracks.back().audio != track.audio) {
            const std::uint64_t least = track.audio ? 150 : 225;
            track.silence = std::max(track.silence, least - std::min(least, track.gapInStream));
        }
        layout.tracks.push_back(std::move(track));
    }
    return layout;
}

}  // namespace kilnware::platform::media
