#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRTrack.h>

#include "platform/media/AudioDecoder.h"

namespace kilnware::platform::media {

// One file as a stream of bytes: a file's bytes from `offset` as they lie (a BIN file, the
// samples of a WAV of CD audio), or an audio file decoded to CD audio.
struct StreamSource {
    std::string path;
    bool decoded = false;
    std::uint64_t offset = 0;  // where the stream starts in the file, as it lies
    std::uint64_t length = 0;  // bytes of the stream
};

// A run of a track's bytes: `length` bytes of a source's stream from `from`, or silence.
struct Segment {
    std::optional<std::size_t> source;  // none: zeros
    std::uint64_t from = 0;
    std::uint64_t length = 0;
};

// The sources of a sheet and the decoders its tracks share: the decoder that read one track to
// its end waits there for the next track, so that a sheet over one long FLAC decodes it once when
// its tracks are read in order.
class StreamSources {
public:
    explicit StreamSources(std::vector<StreamSource> sources) : sources_(std::move(sources)) {}
    const std::vector<StreamSource>& sources() const { return sources_; }

    // A decoder of source `index` that stands at byte `from` of its stream; none, with `error`,
    // when the file no longer decodes.
    std::unique_ptr<AudioDecoder> decoderAt(std::size_t index, std::uint64_t from,
                                            std::string& error);
    // Keeps a decoder that stands at byte `position` of source `index`'s stream for the next one.
    void park(std::size_t index, std::unique_ptr<AudioDecoder> decoder, std::uint64_t position);

private:
    struct Parked {
        std::unique_ptr<AudioDecoder> decoder;
        std::uint64_t position = 0;
    };
    const std::vector<StreamSource> sources_;
    std::mutex mutex_;
    std::map<std::size_t, Parked> parked_;
};

// A track over segments of sources. A data track of raw 2352-byte sectors (`rawData`) gives the
// 2048 bytes of user data of each.
std::shared_ptr<DRTrack> segmentTrack(DRTrack::Kind kind, std::shared_ptr<StreamSources> sources,
                                      std::vector<Segment> segments, bool rawData);

}  // namespace kilnware::platform::media
