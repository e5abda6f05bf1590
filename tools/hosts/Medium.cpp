#include "Medium.h"

#include <kilnware/Constants.h>
#include <kilnware/VXDevice.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DRMSF.h>

#include <algorithm>
#include <limits>

namespace kilnware::hosts {

using namespace platform;

namespace {

std::string without(const std::string& text, std::string_view prefix) {
    return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

}  // namespace

Medium::Medium(const Value& media)
    : type(without(lookup(media, DRDeviceMediaTypeKey).textValue().value_or("Unknown"),
                   "DRDeviceMediaType")),
      blank(lookup(media, DRDeviceMediaIsBlankKey).boolValue()),
      appendable(lookup(media, DRDeviceMediaIsAppendableKey).boolValue()),
      overwritable(lookup(media, DRDeviceMediaIsOverwritableKey).boolValue()),
      erasable(lookup(media, DRDeviceMediaIsErasableKey).boolValue()),
      blocksFree(lookup(media, DRDeviceMediaBlocksFreeKey).uint64Value()),
      blocksUsed(lookup(media, DRDeviceMediaBlocksUsedKey).uint64Value()),
      blocksOverwritable(lookup(media, DRDeviceMediaBlocksOverwritableKey).uint64Value()),
      content(lookup(media, DRDeviceMediaContentKey).textValue()),
      fileSystem(lookup(media, DRDeviceMediaFileSystemKey).textValue()),
      volumeName(lookup(media, DRDeviceMediaVolumeNameKey).textValue()) {
    if (const List* list = lookup(media, DRDeviceMediaSessionsKey).list()) {
        for (const Value& entry : *list) {
            Session session{lookup(entry, DRDeviceSessionNumberKey).uint64Value(),
                            lookup(entry, DRDeviceSessionStartKey).uint64Value(),
                            lookup(entry, DRDeviceSessionLengthKey).uint64Value(),
                            {}};
            if (const List* tracks = lookup(entry, DRDeviceSessionTracksKey).list()) {
                for (const Value& track : *tracks) {
                    session.tracks.push_back(
                        {lookup(track, DRDeviceTrackNumberKey).uint64Value(),
                         lookup(track, DRDeviceTrackStartKey).uint64Value(),
                         lookup(track, DRDeviceTrackLengthKey).uint64Value(),
                         lookup(track, DRDeviceTrackTypeKey).textValue() ==
                             std::optional<std::string>(DRDeviceTrackTypeAudio)});
                }
            }
            sessions.push_back(std::move(session));
        }
    }
}

bool Medium::holdsData() const {
    return !blank && (content || blocksUsed > 0 || !sessions.empty());
}

bool Medium::writeOnce() const {
    for (const char* once :
         {DRDeviceMediaTypeCDR, DRDeviceMediaTypeDVDR, DRDeviceMediaTypeDVDRDualLayer,
          DRDeviceMediaTypeDVDPlusR, DRDeviceMediaTypeDVDPlusRDoubleLayer, DRDeviceMediaTypeBDR}) {
        if (type == without(once, "DRDeviceMediaType")) {
            return true;
        }
    }
    return false;
}

bool Medium::sessionsUnreadable() const {
    return holdsData() && appendable && !overwritable && sessions.empty();
}

std::string Medium::holdings() const {
    if (!holdsData()) {
        return {};
    }
    const std::string size = VXDevice::getSizeOfDisc(blocksUsed);
    const std::string count = std::to_string(sessions.size());
    if (content == std::optional<std::string>(DRDeviceMediaContentAudio)) {
        std::size_t tracks = 0;
        for (const Session& session : sessions) {
            tracks += session.tracks.size();
        }
        return "an audio CD of " + std::to_string(tracks) + (tracks == 1 ? " track" : " tracks");
    }
    if (content == std::optional<std::string>(DRDeviceMediaContentISO9660)) {
        std::string named = volumeName && !volumeName->empty()
                                ? std::string(sessions.size() > 1 ? ", the newest" : "") +
                                      " named \"" + *volumeName + "\""
                                : "";
        return (sessions.size() > 1 ? count + " ISO 9660 sessions" : "an ISO 9660 session") +
               named + ", " + size;
    }
    if (content == std::optional<std::string>(DRDeviceMediaContentFileSystem) && fileSystem) {
        const bool article = !fileSystem->starts_with("a ");
        const bool vowel = std::string("AEIOUaeiou").find(fileSystem->front()) != std::string::npos;
        return (article ? (vowel ? "an " : "a ") : "") + *fileSystem +
               (fileSystem->find("table") == std::string::npos ? " file system" : "") + ", " + size;
    }
    return size + " of data";
}

Capacity capacityOf(const VXDevice::Snapshot& snapshot) {
    if (snapshot.mediaIsOverWritable) {
        return {snapshot.blocksTotal, snapshot.blocksTotalText.value_or(""),
                snapshot.mediaTotalTime.value_or("")};
    }
    const std::uint64_t blocks = snapshot.blocksUsed + snapshot.blocksFree;
    const auto frames = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{snapshot.framesUsed} + snapshot.framesFree,
                                std::numeric_limits<std::uint32_t>::max()));
    return {blocks, VXDevice::getSizeOfDisc(blocks),
            DRMSF::msfWithFrames(frames).descriptionWithFormat(VXTimeFormat)};
}

}  // namespace kilnware::hosts
