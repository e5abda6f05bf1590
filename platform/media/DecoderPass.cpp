#include "platform/media/DecoderPass.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>

namespace kilnware::platform::media {

namespace {

// Bytes libavformat reads from the file at a time.
constexpr int kIoBufferSize = 64 * 1024;

// The containers of the audio files the library takes (WAV, AIFF, FLAC, ALAC, WavPack, APE, Ogg,
// MP3, AAC, WMA, Matroska audio...). Anything else FFmpeg would recognise stays unread: a playlist
// or a concat script named .mp3 would have FFmpeg decode some other file, or a URL, in its place.
constexpr const char* kDemuxers = "aac,aiff,ape,asf,caf,flac,matroska,mov,mp3,ogg,tta,w64,wav,wv";

// The library hands FFmpeg the one file it opened and checked; FFmpeg opens nothing more itself
// (a reference to another file inside a container is refused as well).
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

int cursorRead(void* user, std::uint8_t* buffer, int size) {
    auto* cursor = static_cast<Cursor*>(user);
    if (size <= 0 || cursor->position >= cursor->size) {
        return AVERROR_EOF;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(size, cursor->size - cursor->position));
    ssize_t n = 0;
    do {
        n = ::pread(cursor->fd, buffer, wanted, static_cast<off_t>(cursor->position));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return AVERROR(errno);
    }
    if (n == 0) {
        return AVERROR_EOF;  // the file shrank under us
    }
    cursor->position += n;
    return static_cast<int>(n);
}

std::int64_t cursorSeek(void* user, std::int64_t offset, int whence) {
    auto* cursor = static_cast<Cursor*>(user);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        return cursor->size;
    }
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = cursor->position;
    } else if (whence == SEEK_END) {
        base = cursor->size;
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    // base is never negative, so only a positive offset can overflow.
    if (offset > INT64_MAX - base || base + offset < 0) {
        return AVERROR(EINVAL);
    }
    cursor->position = base + offset;
    return cursor->position;
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

}  // namespace

std::string reasonFor(int error) {
    if (error == AVERROR_INVALIDDATA) {
        return "invalid data";
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    ff().av_strerror(error, text, sizeof text);
    std::string reason = text;
    if (!reason.empty()) {
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    }
    return reason;
}

DecoderPass::~DecoderPass() {
    ff().av_frame_free(&frame_);
    ff().av_packet_free(&packet_);
    ff().avcodec_free_context(&codec_);
    ff().avformat_close_input(&format_);
    if (io_) {
        ff().av_freep(&io_->buffer);
    }
    ff().avio_context_free(&io_);
}

std::unique_ptr<DecoderPass> DecoderPass::open(int fd, std::int64_t size, Mode mode) {
    auto pass = std::unique_ptr<DecoderPass>(new DecoderPass);
    pass->cursor_ = Cursor{fd, size, 0};
    auto* buffer = static_cast<unsigned char*>(ff().av_malloc(kIoBufferSize));
    if (!buffer) {
        return nullptr;
    }
    pass->io_ = ff().avio_alloc_context(buffer, kIoBufferSize, 0, &pass->cursor_, cursorRead,
                                        nullptr, cursorSeek);
    pass->format_ = ff().avformat_alloc_context();
    if (!pass->io_ || !pass->format_) {
        if (!pass->io_) {
            ff().av_free(buffer);
        }
        return nullptr;
    }
    pass->format_->pb = pass->io_;
    pass->format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    pass->format_->io_open = refuseNestedOpen;
    pass->format_->format_whitelist = ff().av_strdup(kDemuxers);
    pass->format_->protocol_whitelist = ff().av_strdup("file");
    if (!pass->format_->format_whitelist || !pass->format_->protocol_whitelist) {
        return nullptr;  // the destructor frees the context, and what it holds
    }
    if (ff().avformat_open_input(&pass->format_, nullptr, nullptr, nullptr) < 0) {
        return nullptr;  // it frees the context on failure
    }
    if (ff().avformat_find_stream_info(pass->format_, nullptr) < 0) {
        return nullptr;
    }
    const AVCodec* decoder = nullptr;
    pass->index_ = ff().av_find_best_stream(pass->format_, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (pass->index_ < 0 || !decoder) {
        return nullptr;
    }
    for (unsigned i = 0; i < pass->format_->nb_streams; ++i) {
        if (static_cast<int>(i) != pass->index_) {
            pass->format_->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    pass->codec_ = ff().avcodec_alloc_context3(decoder);
    if (!pass->codec_ ||
        ff().avcodec_parameters_to_context(pass->codec_, pass->stream()->codecpar) < 0) {
        return nullptr;
    }
    // Damage is reported, not concealed: a checksum that fails ends the stream.
    pass->codec_->err_recognition |= AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_EXPLODE;
    // Frame threads, as many as FFmpeg sees processors for (as the ffmpeg program), for the
    // codecs that have them: handing small frames between threads costs wake-ups, but with a
    // core to spare a 74-minute FLAC decoded in 4.2 s instead of 4.6 s, its checksums included.
    pass->codec_->thread_count = mode == Mode::Stream ? 0 : 1;
    if (mode == Mode::Chunks) {
        pass->codec_->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
    }
    pass->packet_ = ff().av_packet_alloc();
    pass->frame_ = ff().av_frame_alloc();
    if (ff().avcodec_open2(pass->codec_, decoder, nullptr) < 0 || !pass->packet_ || !pass->frame_) {
        return nullptr;
    }
    return pass;
}

int DecoderPass::decode() {
    for (;;) {
        int result = ff().avcodec_receive_frame(codec_, frame_);
        if (result == 0) {
            return 1;
        }
        if (result == AVERROR_EOF) {
            return 0;
        }
        if (result != AVERROR(EAGAIN)) {
            return result;
        }
        result = readPacket();
        if (result == AVERROR_EOF) {
            result = ff().avcodec_send_packet(codec_, nullptr);
        } else if (result >= 0) {
            result = send();
        }
        if (result < 0 && result != AVERROR_EOF) {
            return result;
        }
    }
}

int DecoderPass::readPacket() {
    for (;;) {
        const int result = ff().av_read_frame(format_, packet_);
        if (result < 0 || packet_->stream_index == index_) {
            return result;
        }
        ff().av_packet_unref(packet_);
    }
}

bool DecoderPass::countPackets(std::uint64_t& frames, std::int64_t& ticks, int& error) {
    ticks = 0;
    std::int64_t skipped = 0;
    for (;;) {
        error = readPacket();
        if (error < 0) {
            break;
        }
        const std::int64_t duration = packet_->duration;
        if (const std::uint8_t* side = skipSamples()) {
            skipped += static_cast<std::int64_t>(le32(side)) + le32(side + 4);
        }
        ff().av_packet_unref(packet_);
        if (duration <= 0) {
            return false;
        }
        ticks += duration;
    }
    if (error == AVERROR_EOF) {
        error = 0;
    }
    const std::int64_t samples =
        ff().av_rescale_q(ticks, stream()->time_base, AVRational{1, codec_->sample_rate}) - skipped;
    frames = samples > 0 ? static_cast<std::uint64_t>(samples) : 0;
    return true;
}

int DecoderPass::send() {
    const int result = ff().avcodec_send_packet(codec_, packet_);
    ff().av_packet_unref(packet_);
    return result;
}

int DecoderPass::receive() {
    const int result = ff().avcodec_receive_frame(codec_, frame_);
    return result == 0 ? 1 : result == AVERROR(EAGAIN) ? 0 : result;
}

void DecoderPass::drop() {
    ff().av_packet_unref(packet_);
}

std::int64_t DecoderPass::skippedBefore() const {
    const std::uint8_t* side = skipSamples();
    return side ? le32(side) : 0;
}

const std::uint8_t* DecoderPass::skipSamples() const {
    std::size_t size = 0;
    const std::uint8_t* side =
        ff().av_packet_get_side_data(packet_, AV_PKT_DATA_SKIP_SAMPLES, &size);
    return size >= 8 ? side : nullptr;
}

}  // namespace kilnware::platform::media
