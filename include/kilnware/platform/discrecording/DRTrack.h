#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/FileIdentity.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

class DRFolder;

// The album an audio file's tags name (see DRTrack::tagsForAudioFile).
inline constexpr const char* DRAudioAlbumKey = "DRAudioAlbumKey";

// Reads a track's blocks in order. `read` fills as much of `out` as it can and returns the number
// of bytes, 0 at the end; a failure is reported through `error` and ends the stream.
class KILNWARE_EXPORT DRTrackReader {
public:
    virtual ~DRTrackReader();
    virtual std::size_t read(std::span<std::byte> out) = 0;
    virtual const std::string& error() const = 0;
};

// One track of a layout: audio (2352-byte blocks), data (2048-byte blocks) or a disc image burned
// as it stands.
class KILNWARE_EXPORT DRTrack : public Object {
public:
    enum class Kind { Audio, Data, DiscImage };
    static constexpr std::size_t kAudioBlockSize = 2352;
    static constexpr std::size_t kDataBlockSize = 2048;

    // An audio track that streams the file as CD audio, or null for anything that does not decode
    // (a missing or empty file, text, a truncated header, a directory, a FIFO or a device, which it
    // never waits on). A file that turns out damaged while it streams fails the reader.
    static std::shared_ptr<DRTrack> trackForAudioFile(const std::string& path);
    // The same; without a track, `why` says why in words for a person ("it is empty").
    static std::shared_ptr<DRTrack> trackForAudioFile(const std::string& path, std::string& why);
    // What the tags of the audio file at `path` say, for its CD-Text: DRCDTextTitleKey (the
    // track's title), DRCDTextPerformerKey (its artist) and DRAudioAlbumKey (the album), each as
    // UTF-8 text and only where the file has that tag. Empty for a file without tags, or no file.
    static Dictionary tagsForAudioFile(const std::string& path);

    // A data track holding the folder tree under `root`, laid out in the file systems of its mask
    // (see DRFolder). What stands on disk is read now: the track's size is known from here on and
    // its reader streams the image. Null when the tree cannot be laid out (a file that vanished or
    // cannot be read, a name no file system of the mask can hold, a tree over their limits); the
    // reason goes to the log.
    static std::shared_ptr<DRTrack> trackForRootFolder(std::shared_ptr<DRFolder> root);
    // The same; without a track, `why` says why in words for a person, naming the file.
    static std::shared_ptr<DRTrack> trackForRootFolder(std::shared_ptr<DRFolder> root,
                                                       std::string& why);

    virtual Kind kind() const = 0;
    // The track's length in blocks, known before it is burned.
    virtual std::uint64_t estimateLength() const = 0;
    std::size_t blockSize() const {
        return kind() == Kind::Audio ? kAudioBlockSize : kDataBlockSize;
    }
    // A new stream of the track's bytes, estimateLength() blocks long.
    virtual std::unique_ptr<DRTrackReader> newReader() const = 0;

    // The volume name of the file system a data track carries, when it has one: what a disc made
    // of the track is called.
    virtual std::optional<std::string> volumeName() const { return std::nullopt; }

    // Where the track's bytes lie, unchanged, in a file: a disc image as it stands, or CD audio in
    // a WAV file that needs no decoding. An engine may then copy them from there (in the kernel)
    // instead of streaming them. None when the bytes have to be made. An engine copies only from
    // the file as the track measured it (`file`, where the track says), and fails the burn, naming
    // the file, when the file it opened is not as it was after its last byte was copied.
    struct FileExtent {
        std::string path;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        std::optional<FileIdentity> file = std::nullopt;
    };
    virtual std::optional<FileExtent> fileExtent() const { return std::nullopt; }

    // The track's own properties (pre-gap and the like). Thread-safe.
    Dictionary properties() const;
    void setProperties(Dictionary properties);

private:
    mutable std::mutex mutex_;
    Dictionary properties_;
};

}  // namespace kilnware::platform
