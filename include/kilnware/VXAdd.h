#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/discrecording/DRTrack.h>
#include <kilnware/platform/foundation/AtomicText.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware {

// A host's description of one audio track: title, author and pre-gap. The host makes the records
// and puts one per audio file into its track info list; the library reads them and replaces each
// by a track property dictionary. Title and author are atomic: a getter never sees half a text.
class KILNWARE_EXPORT TrackInfoClass : public platform::Object {
public:
    // Clears the record: no title, no author, pre-gap 0.
    void addNilInfo();

    std::optional<std::string> m_Title() const { return title_.load(); }
    void setM_Title(std::optional<std::string> title) { title_.store(std::move(title)); }
    std::optional<std::string> m_Author() const { return author_.load(); }
    void setM_Author(std::optional<std::string> author) { author_.store(std::move(author)); }
    std::uint32_t m_PreGap() const { return preGap_.load(std::memory_order_relaxed); }
    void setM_PreGap(std::uint32_t preGap) { preGap_.store(preGap, std::memory_order_relaxed); }

private:
    platform::AtomicText title_;
    platform::AtomicText author_;
    std::atomic<std::uint32_t> preGap_{0};
};

// The track list builder: turns audio files into the engine's audio tracks and writes one track
// property dictionary per track into the host's track info list (a list that the library changes
// in place; null stands for none).
class KILNWARE_EXPORT VXAdd : public platform::Object {
public:
    using PathList = std::vector<std::string>;

    // The MP3 CD's track list: one data track of a Joliet-only folder named by the title (" "
    // without one) holding the paths. None, after logging "track is nil", without a track.
    std::optional<platform::List> discAddMp3Request(const PathList& paths,
                                                    const std::optional<std::string>& Tittle);

    // One track per path in the list's order; record i of the list becomes a record-built
    // dictionary. None, after logging "track is nil", when a file gives no track.
    std::optional<platform::List> discPathAddTrackRequest(const PathList& paths,
                                                          platform::List* Info);

    // Each track inserted at `atIndex` of the result (so index 0 gives the reverse order), and for
    // each a file-built dictionary of the sorted paths inserted at `atIndex` of the list. None,
    // silently, when a file gives no track.
    std::optional<platform::List> discFileAddTrackRequest(const PathList& paths,
                                                          platform::List* Info,
                                                          std::int32_t atIndex);

    // Replaces the record at `atIndex` by its record-built dictionary. Returns the list.
    platform::List* addTrackInfoFromPath(const std::string& path, std::uint32_t atIndex,
                                         platform::List* getInfo);
    // Inserts the file-built dictionary of `path` at `atIndex`. Returns the list.
    platform::List* addTrackInfoFromFile(const std::string& path, std::uint32_t atIndex,
                                         platform::List* getInfo);

    // The file's size in units of 1024 bytes, following links; 0 when it cannot be read.
    std::int32_t getFileSize(const std::string& path);

    // What the engine gave for the latest path that a track builder handled.
    std::shared_ptr<platform::DRTrack> m_track;

    // Why the latest call of a track builder gave no tracks, in words for a person (the file, and
    // what is wrong with it); none when it gave them.
    const std::optional<std::string>& whyNoTrack() const { return whyNoTrack_; }

private:
    std::optional<std::string> whyNoTrack_;
};

}  // namespace kilnware
