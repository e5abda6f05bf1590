// Tracks over runs of files: the tracks of a cue sheet, which may start in one file and end in
// the next, and hold files that lie as they are burned beside ones that are decoded.

#include "platform/media/SegmentTrack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform::media {

namespace {

constexpr std::size_t kRawSector = 2352;
constexpr std::size_t kRawHeader = 16;  // sync and header before a mode 1 sector's user data

// Moves a decoder `bytes` further along its stream; false where the stream ends first.
bool skip(AudioDecoder& decoder, std::uint64_t bytes) {
    std::array<std::byte, 64 * 1024> scratch;
    while (bytes > 0) {
        const std::size_t n = decoder.read(
            std::span(scratch.data(),
                      static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), bytes))));
        if (n == 0) {
            return false;
        }
        bytes -= n;
    }
    return true;
}

class SegmentReader : public DRTrackReader {
public:
    SegmentReader(std::shared_ptr<StreamSources> sources, std::vector<Segment> segments,
                  bool rawData)
        : sources_(std::move(sources)), segments_(std::move(segments)), rawData_(rawData) {}

    ~SegmentReader() override { parkDecoder(); }

    std::size_t read(std::span<std::byte> out) override {
        if (!rawData_) {
            return readStream(out);
        }
        // The user data of each raw sector.
        std::size_t done = 0;
        while (done < out.size() && error_.empty()) {
            if (sectorPos_ == sectorEnd_) {
                if (readStream(sector_) < sector_.size()) {
                    break;
                }
                sectorPos_ = kRawHeader;
                sectorEnd_ = kRawHeader + DRTrack::kDataBlockSize;
            }
            const std::size_t n = std::min(out.size() - done, sectorEnd_ - sectorPos_);
            std::memcpy(out.data() + done, sector_.data() + sectorPos_, n);
            sectorPos_ += n;
            done += n;
        }
        return done;
    }

    const std::string& error() const override { return error_; }

private:
    // The next bytes of the segments, one after the other.
    std::size_t readStream(std::span<std::byte> out) {
        std::size_t done = 0;
        while (done < out.size() && error_.empty() && index_ < segments_.size()) {
            const Segment& segment = segments_[index_];
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(out.size() - done, segment.length - position_));
            const std::size_t got = want == 0 ? 0 : readSegment(segment, out.subspan(done, want));
            done += got;
            position_ += got;
            if (position_ == segment.length) {
                parkDecoder();
                ++index_;
                position_ = 0;
            } else if (got == 0 && error_.empty()) {
                fail(segment, "it ended early");
            }
        }
        return done;
    }

    std::size_t readSegment(const Segment& segment, std::span<std::byte> out) {
        if (!segment.source) {
            std::fill(out.begin(), out.end(), std::byte{0});
            return out.size();
        }
        const StreamSource& source = sources_->sources()[*segment.source];
        if (source.decoded) {
            if (!decoder_) {
                std::string why;
                decoder_ = sources_->decoderAt(*segment.source, segment.from, why);
                decoderSource_ = *segment.source;
                if (!decoder_) {
                    error_ = why;
                    return 0;
                }
            }
            const std::size_t n = decoder_->read(out);
            if (!decoder_->error().empty()) {
                error_ = decoder_->error();
                decoder_.reset();  // a failed decoder is no one's to take over
                return 0;
            }
            return n;
        }
        if (!fd_ || fdSource_ != *segment.source) {
            fd_.reset(::open(source.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
            fdSource_ = *segment.source;
            struct stat info {};
            if (!fd_ || ::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
                fail(segment, fd_ ? "it is no longer a file" : std::strerror(errno));
                return 0;
            }
        }
        for (;;) {
            const ssize_t n = ::pread(fd_.get(), out.data(), out.size(),
                                      static_cast<off_t>(source.offset + segment.from + position_));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                fail(segment, std::strerror(errno));
                return 0;
            }
            return static_cast<std::size_t>(n);
        }
    }

    void fail(const Segment& segment, const std::string& why) {
        error_ = sources_->sources()[*segment.source].path + " cannot be read: " + why;
    }

    // A decoder that read its segment to the end waits there for the next track.
    void parkDecoder() {
        if (decoder_ && index_ < segments_.size() && position_ == segments_[index_].length) {
            sources_->park(decoderSource_, std::move(decoder_),
                           segments_[index_].from + segments_[index_].length);
        }
        decoder_.reset();
    }

    std::shared_ptr<StreamSources> sources_;
    const std::vector<Segment> segments_;
    const bool rawData_;
    std::size_t index_ = 0;
    std::uint64_t position_ = 0;  // in the current segment
    UniqueFd fd_;
    std::size_t fdSource_ = 0;
    std::unique_ptr<AudioDecoder> decoder_;
    std::size_t decoderSource_ = 0;
    std::array<std::byte, kRawSector> sector_{};
    std::size_t sectorPos_ = 0;
    std::size_t sectorEnd_ = 0;
    std::string error_;
};

class SegmentTrack : public DRTrack {
public:
    SegmentTrack(Kind kind, std::shared_ptr<StreamSources> sources, std::vector<Segment> segments,
                 bool rawData)
        : kind_(kind),
          sources_(std::move(sources)),
          segments_(std::move(segments)),
          rawData_(rawData) {
        std::uint64_t bytes = 0;
        for (const Segment& segment : segments_) {
            bytes += segment.length;
        }
        blocks_ = bytes / (rawData_ ? kRawSector : blockSize());
    }

    Kind kind() const override { return kind_; }
    std::uint64_t estimateLength() const override { return blocks_; }
    std::string description() const override {
        for (const Segment& segment : segments_) {
            if (segment.source) {
                return sources_->sources()[*segment.source].path;
            }
        }
        return "silence";
    }
    std::unique_ptr<DRTrackReader> newReader() const override {
        return std::make_unique<SegmentReader>(sources_, segments_, rawData_);
    }
    // A track that lies as it is burned in one run of one file.
    std::optional<FileExtent> fileExtent() const override {
        if (rawData_ || segments_.size() != 1 || !segments_.front().source) {
            return std::nullopt;
        }
        const StreamSource& source = sources_->sources()[*segments_.front().source];
        if (source.decoded) {
            return std::nullopt;
        }
        return FileExtent{source.path, source.offset + segments_.front().from,
                          segments_.front().length};
    }

private:
    Kind kind_;
    std::shared_ptr<StreamSources> sources_;
    std::vector<Segment> segments_;
    bool rawData_;
    std::uint64_t blocks_ = 0;
};

}  // namespace

std::unique_ptr<AudioDecoder> StreamSources::decoderAt(std::size_t index, std::uint64_t from,
                                                       std::string& error) {
    const StreamSource& source = sources_.at(index);
    std::unique_ptr<AudioDecoder> decoder;
    std::uint64_t position = 0;
    {
        std::lock_guard lock(mutex_);
        if (auto parked = parked_.find(index); parked != parked_.end()) {
            decoder = std::move(parked->second.decoder);
            position = parked->second.position;
            parked_.erase(parked);
        }
    }
    if (decoder && position > from && !decoder->rewind()) {
        decoder.reset();
    } else if (decoder && position > from) {
        position = 0;
    }
    if (!decoder) {
        decoder = AudioDecoder::open(source.path, &error);
        position = 0;
        if (!decoder) {
            error = source.path + " cannot be decoded: " + error;
            return nullptr;
        }
    }
    if (!skip(*decoder, from - position)) {
        error = decoder->error().empty() ? source.path + " ended early" : decoder->error();
        return nullptr;
    }
    return decoder;
}

void StreamSources::park(std::size_t index, std::unique_ptr<AudioDecoder> decoder,
                         std::uint64_t position) {
    std::lock_guard lock(mutex_);
    parked_[index] = Parked{std::move(decoder), position};
}

std::shared_ptr<DRTrack> segmentTrack(DRTrack::Kind kind, std::shared_ptr<StreamSources> sources,
                                      std::vector<Segment> segments, bool rawData) {
    return std::make_shared<SegmentTrack>(kind, std::move(sources), std::move(segments), rawData);
}

}  // namespace kilnware::platform::media
