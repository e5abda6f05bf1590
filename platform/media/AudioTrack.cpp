#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRTrack.h>

#include <mutex>

#include "platform/media/AudioDecoder.h"
#include "platform/media/FilesystemImage.h"
#include "platform/media/WavExtent.h"

namespace kilnware::platform {

namespace {

class AudioReader : public DRTrackReader {
public:
    explicit AudioReader(std::unique_ptr<media::AudioDecoder> decoder)
        : decoder_(std::move(decoder)) {}
    std::size_t read(std::span<std::byte> out) override { return decoder_->read(out); }
    const std::string& error() const override { return decoder_->error(); }

private:
    std::unique_ptr<media::AudioDecoder> decoder_;
};

// A track for one audio file. The decoder that measured the file streams it the first time, so a
// file whose length is read from its header is decoded only once.
class AudioTrack : public DRTrack {
public:
    AudioTrack(std::string path, std::unique_ptr<media::AudioDecoder> decoder)
        : path_(std::move(path)),
          blocks_(decoder->blockCount()),
          file_(decoder->file()),
          spare_(std::move(decoder)) {}

    // CD audio as it lies in a WAV file: measured by its header, copied rather than decoded
    // where the engine can, and decoded only for an engine that streams it.
    AudioTrack(std::string path, const media::WavData& wav)
        : path_(std::move(path)),
          blocks_((wav.there.length / media::AudioDecoder::kBytesPerFrame +
                   media::AudioDecoder::kFramesPerBlock - 1) /
                  media::AudioDecoder::kFramesPerBlock),
          file_(wav.file),
          extent_(FileExtent{path_, wav.there.offset,
                             wav.there.length / media::AudioDecoder::kBytesPerFrame *
                                 media::AudioDecoder::kBytesPerFrame,
                             wav.file}) {}

    Kind kind() const override { return Kind::Audio; }
    std::uint64_t estimateLength() const override { return blocks_; }
    std::string description() const override { return path_; }
    std::optional<FileExtent> fileExtent() const override { return extent_; }

    std::unique_ptr<DRTrackReader> newReader() const override {
        std::unique_ptr<media::AudioDecoder> decoder;
        {
            std::lock_guard lock(mutex_);
            decoder.swap(spare_);
        }
        if (!decoder) {
            decoder = media::AudioDecoder::open(path_);
        }
        if (!decoder) {
            return nullptr;
        }
        // A file written since it was measured would not give the blocks the track announced.
        if (decoder->file() != file_) {
            return media::failedReader(path_ + " has changed since its track was made");
        }
        return std::make_unique<AudioReader>(std::move(decoder));
    }

private:
    std::string path_;
    std::uint64_t blocks_;
    FileIdentity file_;
    std::optional<FileExtent> extent_;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<media::AudioDecoder> spare_;
};

}  // namespace

std::shared_ptr<DRTrack> DRTrack::trackForAudioFile(const std::string& path) {
    std::string ignored;
    return trackForAudioFile(path, ignored);
}

std::shared_ptr<DRTrack> DRTrack::trackForAudioFile(const std::string& path, std::string& why) {
    if (const auto wav = media::cdAudioInWav(path);
        wav && wav->there.length >= media::AudioDecoder::kBytesPerFrame) {
        media::warnIfCutShort(path, *wav);
        return std::make_shared<AudioTrack>(path, *wav);
    }
    auto decoder = media::AudioDecoder::open(path, &why);
    if (!decoder) {
        return nullptr;
    }
    return std::make_shared<AudioTrack>(path, std::move(decoder));
}

Dictionary DRTrack::tagsForAudioFile(const std::string& path) {
    const media::AudioTags tags = media::audioTags(path);
    Dictionary found;
    for (const auto& [key, value] :
         {std::pair{DRCDTextTitleKey, &tags.title}, std::pair{DRCDTextPerformerKey, &tags.artist},
          std::pair{DRAudioAlbumKey, &tags.album}}) {
        if (!value->empty()) {
            found.set(key, *value);
        }
    }
    return found;
}

}  // namespace kilnware::platform
