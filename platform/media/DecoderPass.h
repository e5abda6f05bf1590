#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/media/FFmpeg.h"

namespace kilnware::platform::media {

// FFmpeg's functions; whoever decodes has made sure they are loaded.
inline const FFmpeg& ff() {
    return *ffmpeg();
}

// What went wrong, in words that fit after "cannot be decoded past M:SS: ".
std::string reasonFor(int error);

// One reading position in a decoder's file. Each demuxer has its own, so that passes through one
// file share its descriptor without moving each other.
struct Cursor {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;
};

// One pass through a file: its demuxer and the decoder of its audio stream. Damage is reported,
// not concealed: a checksum that fails ends the pass with an error.
class DecoderPass {
public:
    // Stream: FFmpeg decodes on as many threads as it sees processors for, and drops the
    // encoder's delay and padding itself. Chunks: on the caller's thread, with the delay and the
    // padding left in, for a caller that places each frame itself.
    enum class Mode { Stream, Chunks };

    ~DecoderPass();
    DecoderPass(const DecoderPass&) = delete;
    DecoderPass& operator=(const DecoderPass&) = delete;

    // A pass through the `size` bytes of `fd` from their start; nullptr where no audio stream
    // opens.
    static std::unique_ptr<DecoderPass> open(int fd, std::int64_t size, Mode mode = Mode::Stream);

    AVStream* stream() const { return format_->streams[index_]; }
    AVFormatContext* format() const { return format_; }
    AVCodecContext* codec() const { return codec_; }
    const AVFrame* frame() const { return frame_; }
    const AVPacket* packet() const { return packet_; }

    // Decodes the next frame into frame(): 1, or 0 at the end, or a negative error code.
    int decode();
    // The next packet of the audio stream into packet(): 0, AVERROR_EOF at the end, or an error
    // code. decode() reads its own; a caller that reads one hands it to send() or drops it.
    int readPacket();
    // Hands packet() to the decoder (which then owns its data): 0 or an error code.
    int send();
    // The next frame the decoder has into frame(): 1, 0 when it wants another packet first, or
    // an error code.
    int receive();
    // Drops packet() undecoded.
    void drop();
    // The samples packet() tells the decoder to drop before its own (the encoder's delay, on a
    // stream's first packet); 0 where it says nothing.
    std::int64_t skippedBefore() const;
    // The samples the stream's packets hold, from the demuxer alone, less what the decoder is
    // told to skip at the start and the end. False where the packets do not say. `ticks` is what
    // the packets hold before the skipping, in the stream's time base.
    bool countPackets(std::uint64_t& frames, std::int64_t& ticks, int& error);

private:
    DecoderPass() = default;
    // packet()'s skip-samples side data: the samples to drop before and after its own, 32 bits
    // each, little-endian; nullptr where it has none.
    const std::uint8_t* skipSamples() const;

    Cursor cursor_;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int index_ = -1;
};

}  // namespace kilnware::platform::media
