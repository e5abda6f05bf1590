#include "platform/media/AudioDecoder.h"

#include <soxr.h>
#include <sys/stat.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <kilnware/platform/foundation/Log.h>

#include "platform/foundation/InputFile.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/ChunkedDecoding.h"
#include "platform/media/DecoderPass.h"
#include "platform/media/WavExtent.h"

namespace kilnware::platform::media {

namespace {

// Frames converted per step: every buffer is sized from this, whatever the file's length.
constexpr std::size_t kChunkFrames = 4096;
// A longer length (about 290 days at 44.1 kHz) can only come from a corrupt header.
constexpr std::uint64_t kMaxInputFrames = std::uint64_t{1} << 40;
// Frames by which a lossy file may fall short of its container's length without being damaged.
constexpr std::uint64_t kCodecSlack = 8192;

constexpr float kMinus3dB = 0.70710678f;

// How a file's exact length is learnt before the burn.
enum class Measure {
    Header,   // lossless formats state it exactly
    Packets,  // MPEG audio: the packets and the encoder's delay and padding say it
    Decoding  // the rest: decoded once to count
};

bool isPcm(AVCodecID codec) {
    return codec >= AV_CODEC_ID_PCM_S16LE && codec < AV_CODEC_ID_ADPCM_IMA_QT;
}

Measure measureFor(AVCodecID codec) {
    switch (codec) {
        case AV_CODEC_ID_FLAC:
        case AV_CODEC_ID_ALAC:
        case AV_CODEC_ID_WAVPACK:
        case AV_CODEC_ID_APE:
        case AV_CODEC_ID_TTA:
            return Measure::Header;
        case AV_CODEC_ID_MP1:
        case AV_CODEC_ID_MP2:
        case AV_CODEC_ID_MP3:
            return Measure::Packets;
        default:
            return isPcm(codec) ? Measure::Header : Measure::Decoding;
    }
}

// How much of a channel at `position` goes {left, right}.
std::array<float, 2> stereoWeights(AVChannel position, std::size_t index) {
    switch (position) {
        case AV_CHAN_FRONT_CENTER:
        case AV_CHAN_BOTTOM_FRONT_CENTER:
            return {kMinus3dB, kMinus3dB};
        case AV_CHAN_FRONT_LEFT:
        case AV_CHAN_FRONT_LEFT_OF_CENTER:
        case AV_CHAN_STEREO_LEFT:
            return {1.0f, 0.0f};
        case AV_CHAN_FRONT_RIGHT:
        case AV_CHAN_FRONT_RIGHT_OF_CENTER:
        case AV_CHAN_STEREO_RIGHT:
            return {0.0f, 1.0f};
        case AV_CHAN_BACK_LEFT:
        case AV_CHAN_SIDE_LEFT:
        case AV_CHAN_WIDE_LEFT:
        case AV_CHAN_SURROUND_DIRECT_LEFT:
        case AV_CHAN_TOP_FRONT_LEFT:
        case AV_CHAN_TOP_BACK_LEFT:
        case AV_CHAN_TOP_SIDE_LEFT:
        case AV_CHAN_BOTTOM_FRONT_LEFT:
            return {kMinus3dB, 0.0f};
        case AV_CHAN_BACK_RIGHT:
        case AV_CHAN_SIDE_RIGHT:
        case AV_CHAN_WIDE_RIGHT:
        case AV_CHAN_SURROUND_DIRECT_RIGHT:
        case AV_CHAN_TOP_FRONT_RIGHT:
        case AV_CHAN_TOP_BACK_RIGHT:
        case AV_CHAN_TOP_SIDE_RIGHT:
        case AV_CHAN_BOTTOM_FRONT_RIGHT:
            return {0.0f, kMinus3dB};
        case AV_CHAN_BACK_CENTER:
        case AV_CHAN_TOP_CENTER:
        case AV_CHAN_TOP_FRONT_CENTER:
        case AV_CHAN_TOP_BACK_CENTER:
            return {0.5f, 0.5f};
        case AV_CHAN_LOW_FREQUENCY:
        case AV_CHAN_LOW_FREQUENCY_2:
            return {0.0f, 0.0f};
        default:
            // Unknown place: alternate sides, as most layouts start left, right.
            return index % 2 == 0 ? std::array{1.0f, 0.0f} : std::array{0.0f, 1.0f};
    }
}

// Left and right weights of each channel, interleaved, for a file of more than two channels.
// `wave` says the file follows the WAV channel order when it names none.
std::vector<float> downmixWeights(const AVChannelLayout& layout, bool wave) {
    const auto channels = static_cast<std::size_t>(layout.nb_channels);
    AVChannelLayout known{};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC && wave) {
        ff().av_channel_layout_default(&known, layout.nb_channels);
    } else {
        ff().av_channel_layout_copy(&known, &layout);
    }
    std::vector<float> weights(2 * channels);
    std::array<float, 2> sums{};
    for (std::size_t c = 0; c < channels; ++c) {
        const AVChannel position =
            known.order == AV_CHANNEL_ORDER_UNSPEC
                ? AV_CHAN_NONE
                : ff().av_channel_layout_channel_from_index(&known, static_cast<unsigned>(c));
        const auto w = stereoWeights(position, c);
        weights[2 * c] = w[0];
        weights[2 * c + 1] = w[1];
        sums[0] += w[0];
        sums[1] += w[1];
    }
    ff().av_channel_layout_uninit(&known);
    if (sums[0] == 0.0f && sums[1] == 0.0f) {
        // Nothing audible by position (all LFE, say): fall back to alternating sides.
        for (std::size_t c = 0; c < channels; ++c) {
            const auto w = stereoWeights(AV_CHAN_NONE, c);
            weights[2 * c] = w[0];
            weights[2 * c + 1] = w[1];
        }
        sums = {static_cast<float>((channels + 1) / 2), static_cast<float>(channels / 2)};
    }
    for (std::size_t side = 0; side < 2; ++side) {
        if (sums[side] == 0.0f) {
            // A layout with nothing on one side is heard on both.
            for (std::size_t c = 0; c < channels; ++c) {
                weights[2 * c + side] = weights[2 * c + 1 - side];
            }
            sums[side] = sums[1 - side];
        }
    }
    // Scaling each side by its total keeps full-scale input on every channel at full scale.
    for (std::size_t c = 0; c < channels; ++c) {
        weights[2 * c] /= sums[0];
        weights[2 * c + 1] /= sums[1];
    }
    return weights;
}

// Sample `frame` of channel `channel` of a decoded frame, as a float of full scale 1.
template <class Sample>
float sampleOf(const AVFrame& decoded, bool planar, std::size_t channels, std::size_t frame,
               std::size_t channel) {
    const auto* data = reinterpret_cast<const Sample*>(planar ? decoded.extended_data[channel]
                                                              : decoded.extended_data[0]);
    const Sample value = planar ? data[frame] : data[frame * channels + channel];
    if constexpr (std::is_same_v<Sample, std::uint8_t>) {
        return (static_cast<float>(value) - 128.0f) / 128.0f;
    } else if constexpr (std::is_same_v<Sample, std::int16_t>) {
        return static_cast<float>(value) / 32768.0f;
    } else if constexpr (std::is_same_v<Sample, std::int32_t>) {
        return static_cast<float>(static_cast<double>(value) / 2147483648.0);
    } else if constexpr (std::is_same_v<Sample, std::int64_t>) {
        return static_cast<float>(static_cast<double>(value) / 9223372036854775808.0);
    } else {
        return static_cast<float>(value);
    }
}

template <class Sample>
void convertFrames(const AVFrame& decoded, bool planar, std::size_t channels, std::size_t first,
                   std::size_t count, float* out) {
    for (std::size_t f = first; f < first + count; ++f) {
        for (std::size_t c = 0; c < channels; ++c) {
            *out++ = sampleOf<Sample>(decoded, planar, channels, f, c);
        }
    }
}

// Frames [first, first + count) of `decoded`, interleaved as floats. False for a sample format
// that has no meaning as audio.
bool convert(const AVFrame& decoded, std::size_t channels, std::size_t first, std::size_t count,
             float* out) {
    const auto format = static_cast<AVSampleFormat>(decoded.format);
    const bool planar = ff().av_sample_fmt_is_planar(format) != 0;
    switch (ff().av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            convertFrames<std::uint8_t>(decoded, planar, channels, first, count, out);
            return true;
        case AV_SAMPLE_FMT_S16:
            convertFrames<std::int16_t>(decoded, planar, channels, first, count, out);
            return true;
        case AV_SAMPLE_FMT_S32:
            convertFrames<std::int32_t>(decoded, planar, channels, first, count, out);
            return true;
        case AV_SAMPLE_FMT_S64:
            convertFrames<std::int64_t>(decoded, planar, channels, first, count, out);
            return true;
        case AV_SAMPLE_FMT_FLT:
            convertFrames<float>(decoded, planar, channels, first, count, out);
            return true;
        case AV_SAMPLE_FMT_DBL:
            convertFrames<double>(decoded, planar, channels, first, count, out);
            return true;
        default:
            return false;
    }
}

std::int16_t toPcm16(float sample) {
    if (std::isnan(sample)) {
        return 0;
    }
    const float scaled = sample * 32768.0f;
    if (scaled >= 32767.0f) {
        return 32767;
    }
    if (scaled <= -32768.0f) {
        return -32768;
    }
    // Round half up, without a call into libm for every sample.
    const float shifted = scaled + 0.5f;
    auto rounded = static_cast<int>(shifted);  // toward zero
    rounded -= static_cast<float>(rounded) > shifted ? 1 : 0;
    return static_cast<std::int16_t>(rounded);
}

void putLittleEndian(std::byte* out, std::int16_t sample) {
    const auto bits = static_cast<std::uint16_t>(sample);
    out[0] = static_cast<std::byte>(bits & 0xff);
    out[1] = static_cast<std::byte>(bits >> 8);
}

#if defined(__SSE2__)
// toPcm16 on four samples at once, to the bit.
__m128i pcm16x4(__m128 sample) {
    sample = _mm_and_ps(sample, _mm_cmpord_ps(sample, sample));  // NaN is silence
    const __m128 scaled =
        _mm_min_ps(_mm_max_ps(_mm_mul_ps(sample, _mm_set1_ps(32768.0f)), _mm_set1_ps(-32768.0f)),
                   _mm_set1_ps(32767.0f));
    const __m128 shifted = _mm_add_ps(scaled, _mm_set1_ps(0.5f));
    const __m128i truncated = _mm_cvttps_epi32(shifted);
    // Truncation went up for a negative fraction: one less there (the mask is -1).
    const __m128 above = _mm_cmpgt_ps(_mm_cvtepi32_ps(truncated), shifted);
    return _mm_add_epi32(truncated, _mm_castps_si128(above));
}
#endif

// CD frames from float samples: frame f is left[f * step], right[f * step]. Decoded MP3 and AAC
// take this path, so four frames go at once where the processor allows.
void cdFramesOf(const float* left, const float* right, std::size_t step, std::size_t frames,
                std::byte* out) {
    std::size_t f = 0;
#if defined(__SSE2__)
    if (step == 2 && right == left + 1) {
        // Already interleaved: eight samples become eight in place.
        for (; f + 4 <= frames; f += 4, out += 4 * AudioDecoder::kBytesPerFrame) {
            const __m128i first = pcm16x4(_mm_loadu_ps(left + 2 * f));
            const __m128i second = pcm16x4(_mm_loadu_ps(left + 2 * f + 4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(first, second));
        }
    } else if (step == 1) {
        for (; f + 4 <= frames; f += 4, out += 4 * AudioDecoder::kBytesPerFrame) {
            const __m128i l = pcm16x4(_mm_loadu_ps(left + f));
            const __m128i r = pcm16x4(_mm_loadu_ps(right + f));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r)));
        }
    }
#endif
    for (; f < frames; ++f, out += AudioDecoder::kBytesPerFrame) {
        putLittleEndian(out, toPcm16(left[f * step]));
        putLittleEndian(out + 2, toPcm16(right[f * step]));
    }
}

struct ResamplerDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using Resampler = std::unique_ptr<std::remove_pointer_t<soxr_t>, ResamplerDeleter>;

// Rates the resampler takes: within a factor of 256 of the CD's.
bool resamplable(int rate) {
    return rate >= AudioDecoder::kSampleRate / 256 && rate <= AudioDecoder::kSampleRate * 256;
}

// libsoxr at its very high quality: flat to 20 kHz, and its 28 bits of precision leave nothing
// audible in 16. One thread: the burn reads ahead on threads of its own.
Resampler newResampler(int rate, std::size_t channels) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    Resampler resampler(soxr_create(rate, AudioDecoder::kSampleRate,
                                    static_cast<unsigned>(channels), &error, &io, &quality,
                                    &runtime));
    return error ? Resampler() : std::move(resampler);
}

// How FLAC's and MP3's frames are decoded in chunks: FLAC's each on its own, MP3's after the
// ten before them (the bit reservoir reaches back at most 511 bytes, five frames at 32 kbit/s,
// and each frame's transforms overlap the last one's).
std::optional<ChunkedDecoding::Codec> chunkedCodec(const AVCodecContext& codec) {
    if (codec.codec_id == AV_CODEC_ID_FLAC && codec.sample_fmt == AV_SAMPLE_FMT_S16) {
        return ChunkedDecoding::Codec{
            0, AV_SAMPLE_FMT_S16,
            [](const AVFrame& frame, std::size_t first, std::size_t count, std::byte* out) {
                std::memcpy(out, frame.extended_data[0] + first * AudioDecoder::kBytesPerFrame,
                            count * AudioDecoder::kBytesPerFrame);
            }};
    }
    if (codec.codec_id == AV_CODEC_ID_MP3 && codec.sample_fmt == AV_SAMPLE_FMT_FLTP) {
        return ChunkedDecoding::Codec{
            10 * 1152, AV_SAMPLE_FMT_FLTP,
            [](const AVFrame& frame, std::size_t first, std::size_t count, std::byte* out) {
                cdFramesOf(reinterpret_cast<const float*>(frame.extended_data[0]) + first,
                           reinterpret_cast<const float*>(frame.extended_data[1]) + first, 1, count,
                           out);
            }};
    }
    return std::nullopt;
}

std::string minutesAndSeconds(std::uint64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

}  // namespace

struct AudioDecoder::Impl {
    std::string path;
    UniqueFd fd;
    std::int64_t size = 0;
    FileIdentity file;  // as it was opened: the stream is good only if it ends on the same
    std::unique_ptr<DecoderPass> pass;

    std::size_t channels = 0;
    // Channels after the downmix: 1 for mono, which is doubled only when written out, else 2.
    std::size_t mixedChannels = 0;
    int rate = 0;
    std::vector<float> weights;
    std::vector<float> raw;
    std::vector<float> mixed;
    std::vector<float> resampled;
    Resampler resampler;

    // Frames of the file at its own rate, known before the stream starts.
    std::uint64_t inputTotal = 0;
    // The stream ends in an error where the file runs out before its header's length, even when
    // what is there was measured (a cut MP3).
    bool cutShort = false;
    // Why the measuring pass stopped early: the stream fails with it once it gets there.
    std::string lateError;

    // Stream position.
    std::string error;
    std::uint64_t delivered = 0;           // input frames taken from the decoder
    std::optional<std::int64_t> firstPts;  // where the first frame stood, in input frames
    bool countsFromZero = false;
    bool cdAudio = false;  // 44.1 kHz, one or two channels: may skip the float path
    // Stereo CD audio of FLAC or MP3, with a processor to spare: decoded in chunks, by `chunks`
    // (made at the first read, not before the burn).
    std::optional<ChunkedDecoding::Codec> chunked;
    std::unique_ptr<ChunkedDecoding> chunks;
    std::size_t pendingFrame = 0;  // the next unused frame of pass->frame()
    bool framePending = false;
    std::size_t mixedOffset = 0;
    std::size_t mixedFrames = 0;
    bool inputEnded = false;
    bool audioEnded = false;
    bool fileChecked = false;  // looked at once more after its last frame
    std::uint64_t emitted = 0;
    std::array<std::byte, kChunkFrames * kBytesPerFrame> staging{};
    std::size_t stagingPos = 0;
    std::size_t stagingLen = 0;

    std::uint64_t cdFrames(std::uint64_t input) const {
        const auto r = static_cast<std::uint64_t>(rate);
        return input / r * kSampleRate + (input % r * kSampleRate + r - 1) / r;
    }

    // Ends the stream with `reason`, at the position reached in the file.
    void fail(const std::string& reason) {
        if (error.empty()) {
            error = path + " cannot be decoded past " +
                    minutesAndSeconds(delivered / static_cast<std::uint64_t>(rate)) + ": " + reason;
        }
    }

    // At the end of the measured frames: the stream fails as the measuring found the file.
    void failAtTheEnd() {
        if (!lateError.empty()) {
            fail(lateError);
        } else if (cutShort) {
            fail("the file ends before the length its header gives");
        }
    }

    // How many frames of the decoded frame come next (kChunkFrames at most), decoding one where
    // none is left; 0 at the end of the input or on an error.
    std::size_t nextFrames() {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(kChunkFrames, inputTotal - std::min(inputTotal, delivered)));
        if (want == 0) {
            failAtTheEnd();
            return 0;
        }
        while (!framePending) {
            const int result = pass->decode();
            if (result < 0) {
                fail(reasonFor(result));
                return 0;
            }
            if (result == 0) {
                fail("the file ends before its announced length");
                return 0;
            }
            const AVFrame* frame = pass->frame();
            if (static_cast<std::size_t>(frame->ch_layout.nb_channels) != channels ||
                frame->sample_rate != rate) {
                fail("its channels or sample rate change midway");
                return 0;
            }
            if (frame->pts != AV_NOPTS_VALUE && !checkPlace(frame->pts)) {
                fail("part of the file is missing");
                return 0;
            }
            framePending = frame->nb_samples > 0;
            pendingFrame = 0;
        }
        return std::min(want, static_cast<std::size_t>(pass->frame()->nb_samples) - pendingFrame);
    }

    void consume(std::size_t frames) {
        pendingFrame += frames;
        framePending = pendingFrame < static_cast<std::size_t>(pass->frame()->nb_samples);
        delivered += frames;
    }

    // Next frames of the file, downmixed, into `out` (kChunkFrames at most); 0 at the end or on
    // an error.
    std::size_t pullInput(float* out) {
        const std::size_t got = nextFrames();
        if (got == 0) {
            return 0;
        }
        const AVFrame& frame = *pass->frame();
        float* target = channels <= 2 ? out : raw.data();
        if (!convert(frame, channels, pendingFrame, got, target)) {
            fail("its samples are in a format with no meaning as audio");
            return 0;
        }
        if (channels > 2) {
            downmix(got, out);
        }
        consume(got);
        return got;
    }

    // Audio at 44.1 kHz in one or two channels of 16-bit or float samples (as FLAC, MP3 and AAC
    // decode) goes to `out` without the trip through the float buffers: the next frames, 0 at the
    // end or on an error, or none where the decoded frame holds another sample format.
    std::optional<std::size_t> copyCdAudio(std::byte* out) {
        const std::size_t got = nextFrames();
        if (got == 0) {
            return 0;
        }
        const AVFrame& frame = *pass->frame();
        const auto format = static_cast<AVSampleFormat>(frame.format);
        const bool planar = ff().av_sample_fmt_is_planar(format) != 0;
        // Interleaved stereo is two samples a frame; planar and mono one a channel.
        const std::size_t step = planar ? 1 : channels;
        const std::size_t first = pendingFrame * step;
        const auto* left = reinterpret_cast<const std::byte*>(frame.extended_data[0]);
        const std::byte* right = channels == 1 ? left
                                 : planar
                                     ? reinterpret_cast<const std::byte*>(frame.extended_data[1])
                                     : nullptr;
        const auto sampleBytes = static_cast<std::size_t>(ff().av_get_bytes_per_sample(format));
        if (!right) {
            right = left + sampleBytes;
        }
        if (format == AV_SAMPLE_FMT_S16 && channels == 2 &&
            std::endian::native == std::endian::little) {
            std::memcpy(out, left + first * sampleBytes, got * kBytesPerFrame);
        } else if (format == AV_SAMPLE_FMT_S16 || format == AV_SAMPLE_FMT_S16P) {
            const auto* l = reinterpret_cast<const std::int16_t*>(left) + first;
            const auto* r = reinterpret_cast<const std::int16_t*>(right) + first;
            for (std::size_t f = 0; f < got; ++f, out += kBytesPerFrame) {
                putLittleEndian(out, l[f * step]);
                putLittleEndian(out + 2, r[f * step]);
            }
        } else if (format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_FLTP) {
            cdFramesOf(reinterpret_cast<const float*>(left) + first,
                       reinterpret_cast<const float*>(right) + first, step, got, out);
        } else {
            return std::nullopt;
        }
        consume(got);
        return got;
    }

    // Whether a frame stamped `pts` follows on what came before. Containers whose packets carry
    // their place (Ogg, FLAC, MP4, ...) show a gap where damage made the demuxer drop data.
    bool checkPlace(std::int64_t pts) {
        const auto at = ff().av_rescale_q(pts, pass->stream()->time_base, AVRational{1, rate});
        if (!firstPts) {
            firstPts = at - static_cast<std::int64_t>(delivered);
            // Ogg stamps count samples from the stream's start: pages lost to damage shift the
            // first stamps, which are worked back from a later page.
            return !countsFromZero || *firstPts <= static_cast<std::int64_t>(kCodecSlack);
        }
        return at - *firstPts <= static_cast<std::int64_t>(delivered + kCodecSlack);
    }

    void downmix(std::size_t frames, float* out) const {
        for (std::size_t f = 0; f < frames; ++f) {
            const float* in = raw.data() + f * channels;
            float left = 0.0f;
            float right = 0.0f;
            for (std::size_t c = 0; c < channels; ++c) {
                left += in[c] * weights[2 * c];
                right += in[c] * weights[2 * c + 1];
            }
            out[2 * f] = left;
            out[2 * f + 1] = right;
        }
    }

    // Next frames of audio at 44.1 kHz into `data`; 0 once the file's audio is over or failed.
    std::size_t produce(const float*& data) {
        if (!resampler) {
            data = mixed.data();
            return pullInput(mixed.data());
        }
        for (;;) {
            if (mixedFrames == 0 && !inputEnded) {
                mixedOffset = 0;
                mixedFrames = pullInput(mixed.data());
                inputEnded = mixedFrames == 0;
                if (!error.empty()) {
                    return 0;
                }
            }
            // Once the input is over, no input flushes the resampler's tail.
            std::size_t used = 0;
            std::size_t made = 0;
            if (const soxr_error_t failed =
                    soxr_process(resampler.get(),
                                 inputEnded ? nullptr : mixed.data() + mixedOffset * mixedChannels,
                                 mixedFrames, &used, resampled.data(), kChunkFrames, &made)) {
                fail(std::string("the resampler failed: ") + failed);
                return 0;
            }
            mixedOffset += used;
            mixedFrames -= used;
            if (made > 0) {
                data = resampled.data();
                return made;
            }
            if (inputEnded || used == 0) {
                return 0;
            }
        }
    }

    // Converts the next frames of the stream into `staging`; false at its end or on an error.
    bool refill() {
        stagingPos = 0;
        stagingLen = convertInto(staging.data());
        return stagingLen > 0;
    }

    // Converts the next frames of the stream (kChunkFrames at most) into `out`; returns their
    // bytes, 0 at its end or on an error.
    std::size_t convertInto(std::byte* out) {
        if (!error.empty()) {
            return 0;
        }
        const std::uint64_t target = cdFrames(inputTotal);
        std::size_t frames = 0;
        if (!audioEnded && chunked) {
            if (!chunks) {
                chunks = std::make_unique<ChunkedDecoding>(fd.get(), size, inputTotal, *chunked);
            }
            frames = chunks->read(out, kChunkFrames);
            delivered = chunks->delivered();
            if (!chunks->error().empty()) {
                fail(chunks->error());
                return 0;
            }
            if (frames == 0) {
                failAtTheEnd();
                if (!error.empty()) {
                    return 0;
                }
            }
            audioEnded = frames == 0;
        } else if (!audioEnded && cdAudio) {
            if (auto copied = copyCdAudio(out)) {
                if (!error.empty()) {
                    return 0;
                }
                audioEnded = *copied == 0;
                frames = *copied;
            }
        }
        if (!audioEnded && frames == 0) {
            const float* data = nullptr;
            frames = produce(data);
            if (!error.empty()) {
                return 0;
            }
            // The resampler's tail may run past the exact length.
            frames = static_cast<std::size_t>(
                std::min<std::uint64_t>(frames, target - std::min(target, emitted)));
            audioEnded = frames == 0;
            cdFramesOf(data, mixedChannels == 2 ? data + 1 : data, mixedChannels, frames, out);
        }
        if (audioEnded && !fileChecked) {
            // Written meanwhile, the file may have given a mix of old and new samples.
            fileChecked = true;
            if (FileIdentity::of(fd.get()) != file) {
                error = path + " changed while it was burned";
                return 0;
            }
        }
        if (audioEnded) {
            // Every input frame is in: what remains is a resampler tail a frame or two short of
            // the exact length, and the last block's padding. Silence.
            const std::uint64_t end =
                (target + kFramesPerBlock - 1) / kFramesPerBlock * kFramesPerBlock;
            frames = static_cast<std::size_t>(
                std::min<std::uint64_t>(kChunkFrames, end - std::min(end, emitted)));
            std::fill_n(out, frames * kBytesPerFrame, std::byte{0});
        }
        emitted += frames;
        return frames * kBytesPerFrame;
    }

    bool restart() {
        chunks.reset();
        pass = DecoderPass::open(fd.get(), size);
        error.clear();
        if (!pass || static_cast<std::size_t>(pass->codec()->ch_layout.nb_channels) != channels ||
            pass->codec()->sample_rate != rate) {
            pass.reset();
            error = path + " can no longer be read";
        }
        delivered = 0;
        firstPts.reset();
        pendingFrame = 0;
        framePending = false;
        mixedOffset = 0;
        mixedFrames = 0;
        inputEnded = false;
        audioEnded = false;
        fileChecked = false;
        emitted = 0;
        stagingPos = 0;
        stagingLen = 0;
        if (resampler) {
            soxr_clear(resampler.get());
        }
        return error.empty();
    }

    // The exact length of the file at its own rate, learnt as `how` says; false for a file that
    // holds no audio.
    bool measure(Measure how) {
        const AVStream* stream = pass->stream();
        if (how == Measure::Header) {
            const auto wav = wavData(fd.get());
            const auto align = pass->codec()->block_align;
            if (wav && isPcm(pass->codec()->codec_id) && align > 0 &&
                wav->blockAlign == static_cast<std::uint32_t>(align)) {
                // A WAV file cut short keeps the samples that are there.
                warnIfCutShort(path, *wav);
                inputTotal = wav->there.length / wav->blockAlign;
                return true;
            }
            if (stream->duration > 0 && stream->duration != AV_NOPTS_VALUE) {
                inputTotal = static_cast<std::uint64_t>(
                    ff().av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate}));
                return true;
            }
            how = Measure::Decoding;
        }
        auto counter = DecoderPass::open(fd.get(), size);
        if (!counter) {
            return false;
        }
        if (how == Measure::Packets) {
            int result = 0;
            std::int64_t held = 0;
            if (counter->countPackets(inputTotal, held, result)) {
                if (result < 0) {
                    lateError = reasonFor(result);
                }
                // An MPEG header (Xing, VBRI) that promises clearly more than the packets hold
                // belongs to a cut file; encoders disagree on a frame or so.
                const std::int64_t promised = stream->duration;
                const std::int64_t slack = ff().av_rescale_q(
                    static_cast<std::int64_t>(kCodecSlack), AVRational{1, rate}, stream->time_base);
                cutShort =
                    result == 0 && promised > 0 && promised != AV_NOPTS_VALUE &&
                    pass->format()->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE &&
                    held + slack < promised;
                return true;
            }
            counter = DecoderPass::open(fd.get(), size);
            if (!counter) {
                return false;
            }
        }
        // Decoded once. Damage stops the count where it is, and the stream fails there.
        std::uint64_t counted = 0;
        int result = 0;
        while (counted < kMaxInputFrames && (result = counter->decode()) > 0) {
            counted += static_cast<std::uint64_t>(counter->frame()->nb_samples);
        }
        if (result < 0) {
            lateError = reasonFor(result);
        }
        // A container that states a length (ASF, MP4, Ogg's last page) and holds clearly less
        // belongs to a cut file; lossy codecs may fall short of it by a frame or two.
        if (stream->duration > 0 && stream->duration != AV_NOPTS_VALUE &&
            pass->format()->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
            const auto promised = static_cast<std::uint64_t>(
                ff().av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate}));
            cutShort = counted + kCodecSlack < promised;
        }
        inputTotal = counted;
        return true;
    }
};

AudioDecoder::AudioDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AudioDecoder::~AudioDecoder() = default;

std::unique_ptr<AudioDecoder> AudioDecoder::open(const std::string& path, std::string* why) {
    auto refuse = [why](std::string reason) -> std::unique_ptr<AudioDecoder> {
        if (why) {
            *why = std::move(reason);
        }
        return nullptr;
    };
    if (!ffmpeg()) {
        return refuse("FFmpeg's libraries, which decode audio files, are not installed");
    }
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->fd = openRegularFile(path);
    const auto file = impl->fd ? FileIdentity::of(impl->fd.get()) : std::nullopt;
    if (!file) {
        return refuse(whyNotRegularFile(errno));
    }
    if (file->size == 0) {
        return refuse("it is empty");
    }
    impl->file = *file;
    impl->size = static_cast<std::int64_t>(file->size);
    impl->pass = DecoderPass::open(impl->fd.get(), impl->size);
    if (!impl->pass) {
        return refuse("it holds no audio in a format that can be decoded");
    }
    const AVCodecContext* codec = impl->pass->codec();
    if (codec->ch_layout.nb_channels < 1 || !resamplable(codec->sample_rate)) {
        return refuse("its sample rate (" + std::to_string(codec->sample_rate) +
                      " Hz) cannot be turned into CD audio");
    }
    impl->channels = static_cast<std::size_t>(codec->ch_layout.nb_channels);
    impl->mixedChannels = impl->channels == 1 ? 1 : 2;
    impl->rate = codec->sample_rate;
    impl->cdAudio = impl->rate == kSampleRate && impl->channels <= 2;
    if (impl->rate == kSampleRate && impl->channels == 2 &&
        std::thread::hardware_concurrency() > 1) {
        impl->chunked = chunkedCodec(*codec);
    }
    impl->countsFromZero = std::string_view(impl->pass->format()->iformat->name) == "ogg";
    impl->raw.resize(kChunkFrames * impl->channels);
    impl->mixed.resize(kChunkFrames * impl->mixedChannels);
    if (impl->channels > 2) {
        const std::string container = impl->pass->format()->iformat->name;
        impl->weights = downmixWeights(codec->ch_layout, container == "wav" || container == "w64" ||
                                                             codec->codec_id == AV_CODEC_ID_FLAC);
    }
    if (impl->rate != kSampleRate) {
        impl->resampler = newResampler(impl->rate, impl->mixedChannels);
        if (!impl->resampler) {
            return refuse("the resampler could not start");
        }
        impl->resampled.resize(kChunkFrames * impl->mixedChannels);
    }
    if (!impl->measure(measureFor(codec->codec_id)) || impl->inputTotal == 0 ||
        impl->inputTotal > kMaxInputFrames) {
        return refuse(impl->inputTotal > kMaxInputFrames ? "it is longer than any disc holds"
                                                         : "its length cannot be read");
    }
    // A file from which nothing decodes is no track, whatever its header says.
    if (impl->pass->decode() <= 0 || !impl->restart()) {
        return refuse("not a single frame of its audio decodes");
    }
    return std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(impl)));
}

std::uint64_t AudioDecoder::frameCount() {
    return impl_->cdFrames(impl_->inputTotal);
}

std::uint64_t AudioDecoder::blockCount() {
    return (frameCount() + kFramesPerBlock - 1) / kFramesPerBlock;
}

std::size_t AudioDecoder::read(std::span<std::byte> out) {
    Impl& d = *impl_;
    std::size_t written = 0;
    while (written < out.size()) {
        // Where a whole step fits, it is converted straight into `out`.
        if (d.stagingPos == d.stagingLen && out.size() - written >= d.staging.size()) {
            const std::size_t n = d.convertInto(out.data() + written);
            if (n == 0) {
                break;
            }
            written += n;
            continue;
        }
        if (d.stagingPos == d.stagingLen && !d.refill()) {
            break;
        }
        const std::size_t n = std::min(out.size() - written, d.stagingLen - d.stagingPos);
        std::memcpy(out.data() + written, d.staging.data() + d.stagingPos, n);
        d.stagingPos += n;
        written += n;
    }
    return written;
}

const std::string& AudioDecoder::error() const {
    return impl_->error;
}

const FileIdentity& AudioDecoder::file() const {
    return impl_->file;
}

bool AudioDecoder::rewind() {
    return impl_->restart();
}

AudioTags audioTags(const std::string& path) {
    AudioTags tags;
    UniqueFd fd = openRegularFile(path);
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || status.st_size <= 0) {
        return tags;
    }
    // A WAV file's INFO list is read here: a WAV of CD audio is then burned without FFmpeg.
    if (const auto wav = wavTags(fd.get())) {
        for (auto [from, to] :
             {std::pair{&wav->title, &tags.title}, std::pair{&wav->artist, &tags.artist},
              std::pair{&wav->album, &tags.album}}) {
            if (isValidUtf8(*from)) {
                *to = *from;
            }
        }
        return tags;
    }
    if (!ffmpeg()) {
        return tags;
    }
    const auto pass = DecoderPass::open(fd.get(), status.st_size);
    if (!pass) {
        return tags;
    }
    // Ogg keeps its comments with the stream, the other containers with the file.
    auto tag = [&](const char* key, const char* alternative) {
        for (const AVDictionary* metadata : {pass->stream()->metadata, pass->format()->metadata}) {
            for (const char* name : {key, alternative}) {
                const AVDictionaryEntry* entry =
                    name ? ff().av_dict_get(metadata, name, nullptr, 0) : nullptr;
                if (entry && entry->value && *entry->value && isValidUtf8(entry->value)) {
                    return std::string(entry->value);
                }
            }
        }
        return std::string();
    };
    tags.title = tag("title", nullptr);
    tags.artist = tag("artist", "album_artist");
    tags.album = tag("album", nullptr);
    return tags;
}

}  // namespace kilnware::platform::media
