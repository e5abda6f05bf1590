#include <kilnware/VXAdd.h>

#include <algorithm>
#include <limits>

#include <kilnware/Constants.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/foundation/FileManager.h>
#include <kilnware/platform/foundation/Log.h>

#include "Kilnware/RootFolder.h"
#include "platform/foundation/Strings.h"

namespace kilnware {

using namespace platform;

namespace {
// Where an insertion at `index` lands in a list of `size` elements: the text leaves indexes past
// the end open, and appending keeps both lists whole.
std::size_t insertionPoint(std::int64_t index, std::size_t size) {
    return index < 0 ? 0 : std::min(static_cast<std::size_t>(index), size);
}
// The record's pre-gap, in frames, reaches the engine as the track's own: without this the host's
// pre-gap would stay in the track info list and never reach the disc.
void passPreGapOn(DRTrack& track, const List* info, std::size_t index) {
    if (!info || index >= info->size()) {
        return;
    }
    auto record = (*info)[index].object<TrackInfoClass>();
    if (!record || record->m_PreGap() == 0) {
        return;
    }
    Dictionary properties = track.properties();
    properties.set(DRPreGapLengthKey, std::uint64_t{record->m_PreGap()});
    track.setProperties(std::move(properties));
}
std::string noAudioTrack(const std::string& path, const std::string& why) {
    return path + " is no audio that can be read: " +
           (why.empty() ? std::string("it cannot be decoded") : why) + ".";
}
}  // namespace

void TrackInfoClass::addNilInfo() {
    setM_Title(std::nullopt);
    setM_Author(std::nullopt);
    setM_PreGap(0);
}

std::optional<List> VXAdd::discAddMp3Request(const PathList& paths,
                                             const std::optional<std::string>& Tittle) {
    List tracks;
    whyNoTrack_.reset();
    auto root = DRFolder::virtualFolderWithName(Tittle.value_or(" "));
    fillRootFolder(*root, paths);
    root->setExplicitFilesystemMask(DRFilesystemInclusionMaskJoliet);
    root->setForPlayers(true);
    std::string why;
    auto track = dataTrackOf(root, paths, why);
    if (!track) {
        Log::write("track is nil");
        whyNoTrack_ = "The MP3 CD cannot be laid out: " + why + ".";
        return std::nullopt;
    }
    tracks.emplace_back(std::move(track));
    return tracks;
}

std::optional<List> VXAdd::discPathAddTrackRequest(const PathList& paths, List* Info) {
    List tracks;
    whyNoTrack_.reset();
    for (std::uint32_t i = 0; i < paths.size(); ++i) {
        std::string why;
        m_track = DRTrack::trackForAudioFile(paths[i], why);
        if (!m_track) {
            Log::write("track is nil");
            whyNoTrack_ = noAudioTrack(paths[i], why);
            return std::nullopt;
        }
        passPreGapOn(*m_track, Info, i);
        tracks.emplace_back(m_track);
        addTrackInfoFromPath(paths[i], i, Info);
    }
    return tracks;
}

std::optional<List> VXAdd::discFileAddTrackRequest(const PathList& paths, List* Info,
                                                   std::int32_t atIndex) {
    List tracks;
    whyNoTrack_.reset();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::string why;
        m_track = DRTrack::trackForAudioFile(paths[i], why);
        if (!m_track) {
            whyNoTrack_ = noAudioTrack(paths[i], why);
            return std::nullopt;
        }
        tracks.emplace(
            tracks.begin() + static_cast<std::ptrdiff_t>(insertionPoint(atIndex, tracks.size())),
            m_track);
        PathList sorted = paths;
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
            return localizedCaseInsensitiveCompare(a, b) < 0;
        });
        // A negative index stands for the front, like every index the list cannot hold.
        addTrackInfoFromFile(sorted[i], atIndex < 0 ? 0 : static_cast<std::uint32_t>(atIndex),
                             Info);
    }
    return tracks;
}

List* VXAdd::addTrackInfoFromPath(const std::string&, std::uint32_t atIndex, List* getInfo) {
    if (!getInfo || atIndex >= getInfo->size()) {
        return getInfo;
    }
    Value& element = (*getInfo)[atIndex];
    auto record = element.object<TrackInfoClass>();
    if (!record) {
        return getInfo;  // only a record can become a record-built dictionary
    }
    Dictionary track;
    // A dictionary holds no absent value: a record without a title or author leaves the key out.
    if (auto title = record->m_Title()) {
        track.set(VXTrackTitleKey, std::move(*title));
    }
    if (auto author = record->m_Author()) {
        track.set(VXTrackAuthorKey, std::move(*author));
    }
    track.set(VXTrackPreGap, std::int64_t{record->m_PreGap()});
    element = Value(std::move(track));
    return getInfo;
}

List* VXAdd::addTrackInfoFromFile(const std::string& path, std::uint32_t atIndex, List* getInfo) {
    auto track = DRTrack::trackForAudioFile(path);
    const std::uint64_t length = track ? track->estimateLength() : 0;
    if (!getInfo) {
        return getInfo;
    }
    List indexPoints;
    indexPoints.reserve(98);
    Dictionary info;
    info.set(VXTrackFilePath, path);
    info.set(VXTrackLength, length);
    info.set(VXTrackPreEmphasisEnabled, false);
    info.set(VXTrackPreGap, std::int64_t{1});
    info.set(VXTrackIndexPointsEnabled, false);
    info.set(VXTrackIndexPoints, std::move(indexPoints));
    info.set(DRCDTextTitleKey, stringByDeletingPathExtension(lastPathComponent(path)));
    getInfo->emplace(
        getInfo->begin() + static_cast<std::ptrdiff_t>(insertionPoint(atIndex, getInfo->size())),
        std::move(info));
    return getInfo;
}

std::int32_t VXAdd::getFileSize(const std::string& path) {
    auto attributes = FileManager::defaultManager()->attributesOfItemAtPath(path, true);
    if (!attributes) {
        return 0;
    }
    // Counted in 64 bits and held at the largest 32-bit answer, so files of 2 GiB and more
    // neither wrap nor turn negative.
    const std::uint64_t kilobytes = (*attributes)[NSFileSize].uint64Value() / 1024;
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>(kilobytes, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace kilnware
