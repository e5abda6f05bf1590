#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include <kilnware/platform/foundation/FileIdentity.h>

namespace kilnware::platform::media {

// Decodes an audio file to CD audio: 44,100 Hz, 16-bit signed little-endian, 2 channels
// interleaved. Whatever FFmpeg's libraries decode in the containers of audio files is accepted
// (WAV, AIFF, FLAC, ALAC, WavPack, APE, Ogg Vorbis, Opus, MP3, AAC, WMA, Matroska audio...);
// FFmpeg reads only the one file, never another that it names (a playlist, a concat script).
//
// Conversion: other rates are resampled while streaming (libsoxr, flat to 20 kHz), time-aligned
// and to the exact length below; mono is copied to both channels; more than two channels are
// mixed down (front channels to their side, centre and surrounds at -3 dB, LFE dropped, each
// side scaled so that full-scale input cannot clip; unknown layouts put even channels left and
// odd channels right). Samples are rounded and clipped to 16 bits, without dither.
//
// Length, known exactly when open() returns: lossless formats (PCM, FLAC, ALAC, WavPack, APE) are
// taken at their header's word; MPEG audio is measured from its packets and the encoder's delay
// and padding, without decoding; other lossy formats are decoded once to count. A file from which
// not a single frame decodes is no track: open() refuses it.
//
// Damage is never streamed as silence: a read or decode error, a file that ends before the length
// it announced, or a resampler failure ends the stream early, and error() then says
// "FILE cannot be decoded past M:SS: REASON". The one exception is a WAV file whose header claims
// more samples than it holds: its length is what is there, with a warning in the log.
//
// Memory stays bounded whatever the file's length. A decoder is used by one thread at a time;
// open() may be called from any thread.
class AudioDecoder {
public:
    static constexpr int kSampleRate = 44100;
    static constexpr std::size_t kBytesPerFrame = 4;
    static constexpr std::size_t kFramesPerBlock = 588;
    static constexpr std::size_t kBytesPerBlock = kFramesPerBlock * kBytesPerFrame;

    // Opens the regular file at `path`; nullptr for anything that does not decode to at least one
    // frame (missing, empty, a directory, a FIFO or device, text, a truncated header, a rate too
    // far from 44.1 kHz), and then `why` (when given) says why in words for a person. Never blocks
    // on a special file.
    static std::unique_ptr<AudioDecoder> open(const std::string& path, std::string* why = nullptr);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Exact number of CD frames the stream yields before its silent block padding. For a resampled
    // file that is ceil(inputFrames * 44100 / inputRate).
    std::uint64_t frameCount();
    // Whole 2352-byte blocks the stream fills: ceil(frameCount() / 588).
    std::uint64_t blockCount();

    // Fills `out` with the next bytes of the stream; returns how many, 0 only at its end or after
    // an error. The stream is frameCount() frames of audio, then silence up to blockCount() * 2352
    // bytes. Any size of `out` works, odd ones included.
    std::size_t read(std::span<std::byte> out);
    // Why the stream ended early; empty while it has not. A file that is not as it was opened
    // once its last frame is read (written meanwhile, or its size changed) fails the stream:
    // "FILE changed while it was burned".
    const std::string& error() const;
    // The file as it was opened.
    const FileIdentity& file() const;
    // Starts the stream again from the beginning. False if the file can no longer be read, and the
    // stream then stays at its end.
    bool rewind();

private:
    struct Impl;
    explicit AudioDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The texts of a file's tags (ID3, Vorbis comments, MP4, ASF, APE), in UTF-8; empty where the
// file has none, or none that is valid UTF-8.
struct AudioTags {
    std::string title;
    std::string artist;
    std::string album;
};
AudioTags audioTags(const std::string& path);

}  // namespace kilnware::platform::media
