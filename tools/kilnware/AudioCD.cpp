#include "AudioCD.h"

#include <filesystem>
#include <memory>

#include <kilnware/Constants.h>
#include <kilnware/VXAdd.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRTrack.h>

namespace kilnware::cli {

using namespace platform;

namespace {

// The text a file's tags give under `key`, if any.
std::optional<std::string> tagText(const Dictionary& tags, const char* key) {
    if (const std::string* text = tags[key].text()) {
        return *text;
    }
    return std::nullopt;
}

// The pre-gap of track `index`: one --pregap sets every track's, several each track's in order.
std::uint32_t preGapOf(const AudioOptions& audio, std::size_t index) {
    if (audio.pregaps.size() == 1) {
        return audio.pregaps.front();
    }
    return index < audio.pregaps.size() ? audio.pregaps[index] : kCustomaryPreGap;
}

}  // namespace

List trackRecords(const std::vector<std::string>& files, const std::vector<Dictionary>& tags,
                  const AudioOptions& audio) {
    List records;
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto record = std::make_shared<TrackInfoClass>();
        record->setM_Title(i < audio.trackTitles.size()
                               ? audio.trackTitles[i]
                               : tagText(tags[i], DRCDTextTitleKey)
                                     .value_or(std::filesystem::path(files[i]).stem().string()));
        record->setM_Author(i < audio.trackPerformers.size()
                                ? std::optional(audio.trackPerformers[i])
                                : tagText(tags[i], DRCDTextPerformerKey));
        record->setM_PreGap(preGapOf(audio, i));
        records.emplace_back(record);
    }
    return records;
}

List cdTextList(const List& records, const std::vector<Dictionary>& tags,
                const AudioOptions& audio) {
    std::optional<std::string> album;
    std::optional<std::string> artist;
    bool oneArtist = true;
    for (const Dictionary& file : tags) {
        album = album ? album : tagText(file, DRAudioAlbumKey);
        if (auto name = tagText(file, DRCDTextPerformerKey)) {
            oneArtist = oneArtist && (!artist || *artist == *name);
            artist = name;
        }
    }
    List list;
    Dictionary disc;
    disc.set(VXDiscCDTextEnabled, true);
    disc.set(DRCDTextTitleKey, audio.title.value_or(album.value_or("")));
    if (auto performer = audio.performer ? audio.performer : oneArtist ? artist : std::nullopt) {
        disc.set(DRCDTextPerformerKey, *performer);
    }
    list.emplace_back(std::move(disc));
    for (const auto& element : records) {
        auto record = element.object<TrackInfoClass>();
        Dictionary track;
        track.set(DRCDTextTitleKey, record->m_Title().value_or(""));
        if (auto author = record->m_Author()) {
            track.set(DRCDTextPerformerKey, *author);
        }
        list.emplace_back(std::move(track));
    }
    return list;
}

}  // namespace kilnware::cli
