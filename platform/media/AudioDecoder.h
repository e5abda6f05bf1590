#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kilnware::platform::media {

// Decodes an audio file to CD audio: 44,100 Hz, 16-bit signed little-endian, 2 channels
// interleaved. Anything libsndfile decodes is accepted (WAV, AIFF, FLAC, Ogg Vorbis/Opus, MP3,
// ...).
//
// Conversion: other rates are resampled (sinc, medium quality) while streaming; mono is copied to
// both channels; more than two channels are mixed down (front channels to their side, centre and
// surrounds at -3 dB, LFE dropped, each side scaled so that full-scale input cannot clip; unknown
// layouts put even channels left and odd channels right). Samples are rounded and clipped to 16
// bits, without dither.
//
// Length: formats whose header states an exact length (WAV, AIFF, FLAC, ...) are taken at their
// word, and if the file turns out shorter the missing tail streams as silence. MP3 and Ogg
// headers may disagree with what really decodes, so their length is counted by decoding the file
// once, on the first frameCount() or at the end of the stream, whichever comes first. A file from
// which not a single frame decodes is no track: open() refuses it.
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
    // frame (missing, empty, a directory, text, a truncated header, a rate too far from 44.1 kHz).
    static std::unique_ptr<AudioDecoder> open(const std::string& path);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Exact number of CD frames the stream yields before its silent block padding. For a resampled
    // file that is ceil(inputFrames * 44100 / inputRate). May decode the whole file once (see
    // above); the answer is kept.
    std::uint64_t frameCount();
    // Whole 2352-byte blocks the stream fills: ceil(frameCount() / 588).
    std::uint64_t blockCount();

    // Fills `out` with the next bytes of the stream; returns how many, 0 only at its end. The
    // stream is frameCount() frames of audio, then silence up to blockCount() * 2352 bytes. Any
    // size of `out` works, odd ones included.
    std::size_t read(std::span<std::byte> out);
    // Starts the stream again from the beginning. False if the file can no longer be read, and the
    // stream then stays at its end.
    bool rewind();

private:
    struct Impl;
    explicit AudioDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kilnware::platform::media
