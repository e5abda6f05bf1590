#include <kilnware/platform/discrecording/DRMediaInfo.h>

#include <algorithm>
#include <limits>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::platform {

namespace {
// Frame counts are signed 32-bit; a count of blocks beyond them is held at the largest.
std::int32_t framesOf(std::uint64_t blocks) {
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>(blocks, std::numeric_limits<std::int32_t>::max()));
}
}  // namespace

Dictionary DRMediaInfo::dictionary() const {
    Dictionary media;
    if (type) {
        media.set(DRDeviceMediaTypeKey, *type);
    }
    if (mediaClass) {
        media.set(DRDeviceMediaClassKey, *mediaClass);
    }
    media.set(DRDeviceMediaBlocksFreeKey, blocksFree);
    media.set(DRDeviceMediaBlocksUsedKey, blocksUsed);
    media.set(DRDeviceMediaBlocksOverwritableKey, blocksOverwritable);
    media.set(DRDeviceMediaFreeSpaceKey, framesFree.value_or(framesOf(blocksFree)));
    media.set(DRDeviceMediaUsedSpaceKey, framesUsed.value_or(framesOf(blocksUsed)));
    media.set(DRDeviceMediaOverwritableSpaceKey,
              framesOverwritable.value_or(framesOf(blocksOverwritable)));
    media.set(DRDeviceMediaIsBlankKey, blank);
    media.set(DRDeviceMediaIsAppendableKey, appendable);
    media.set(DRDeviceMediaIsOverwritableKey, overwritable);
    media.set(DRDeviceMediaIsErasableKey, erasable);
    if (!sessions.empty()) {
        List list;
        for (const DRMediaSession& session : sessions) {
            List tracks;
            for (const DRMediaTrack& track : session.tracks) {
                tracks.emplace_back(
                    Dictionary{{DRDeviceTrackNumberKey, std::uint64_t{track.number}},
                               {DRDeviceTrackTypeKey,
                                track.audio ? DRDeviceTrackTypeAudio : DRDeviceTrackTypeData},
                               {DRDeviceTrackStartKey, track.start},
                               {DRDeviceTrackLengthKey, track.length}});
            }
            list.emplace_back(Dictionary{{DRDeviceSessionNumberKey, std::uint64_t{session.number}},
                                         {DRDeviceSessionStartKey, session.start},
                                         {DRDeviceSessionLengthKey, session.length},
                                         {DRDeviceSessionTracksKey, std::move(tracks)}});
        }
        media.set(DRDeviceMediaSessionsKey, std::move(list));
    }
    for (const auto& [key, text] : {std::pair{DRDeviceMediaContentKey, &content},
                                    std::pair{DRDeviceMediaFileSystemKey, &fileSystem},
                                    std::pair{DRDeviceMediaVolumeNameKey, &volumeName}}) {
        if (*text) {
            media.set(key, **text);
        }
    }
    return media;
}

}  // namespace kilnware::platform
