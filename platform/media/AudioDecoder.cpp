#include "platform/media/AudioDecoder.h"

#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

namespace kilnware::platform::media {

namespace {

// Frames converted per step: every buffer is sized from this, whatever the file's length.
constexpr std::size_t kChunkFrames = 4096;
// Samples read from the file per step, so that files with many channels stay bounded too.
constexpr std::size_t kRawSamples = 16384;
// A longer length (about 290 days at 44.1 kHz) can only come from a corrupt header.
constexpr std::uint64_t kMaxInputFrames = std::uint64_t{1} << 40;

constexpr float kMinus3dB = 0.70710678f;

// libsndfile keeps the last open error in process-wide state, and decoders may set up shared
// state when first opened: opening is serialized so that open() can be called from any thread.
std::mutex gOpenMutex;

// One reading position in the decoder's file. Each libsndfile handle has its own, so the counting
// pass and the stream share one descriptor without moving each other.
struct Cursor {
    int fd = -1;
    sf_count_t size = 0;
    sf_count_t position = 0;
};

sf_count_t cursorLength(void* user) {
    return static_cast<Cursor*>(user)->size;
}

sf_count_t cursorSeek(sf_count_t offset, int whence, void* user) {
    auto* cursor = static_cast<Cursor*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) {
        base = cursor->position;
    } else if (whence == SEEK_END) {
        base = cursor->size;
    }
    // base is never negative, so only a positive offset can overflow.
    if (offset > std::numeric_limits<sf_count_t>::max() - base || base + offset < 0) {
        return -1;
    }
    cursor->position = base + offset;
    return cursor->position;
}

sf_count_t cursorRead(void* ptr, sf_count_t count, void* user) {
    auto* cursor = static_cast<Cursor*>(user);
    if (count <= 0 || cursor->position >= cursor->size) {
        return 0;
    }
    const auto wanted = static_cast<std::size_t>(std::min(count, cursor->size - cursor->position));
    auto* bytes = static_cast<char*>(ptr);
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t n = ::pread(cursor->fd, bytes + done, wanted - done,
                                  static_cast<off_t>(cursor->position) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    cursor->position += static_cast<sf_count_t>(done);
    return static_cast<sf_count_t>(done);
}

sf_count_t cursorWrite(const void*, sf_count_t, void*) {
    return 0;
}

sf_count_t cursorTell(void* user) {
    return static_cast<Cursor*>(user)->position;
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

struct ResamplerDeleter {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};
using Resampler = std::unique_ptr<SRC_STATE, ResamplerDeleter>;

Sndfile openHandle(Cursor& cursor, SF_INFO& info) {
    static SF_VIRTUAL_IO io{cursorLength, cursorSeek, cursorRead, cursorWrite, cursorTell};
    cursor.position = 0;
    info = SF_INFO{};
    std::lock_guard lock(gOpenMutex);
    return Sndfile(sf_open_virtual(&io, SFM_READ, &info, &cursor));
}

// Channel order of files that carry no channel map, by container. WAV and FLAC share one order;
// Vorbis and Opus another.
std::vector<int> defaultLayout(int format, int channels) {
    enum {
        FL = SF_CHANNEL_MAP_FRONT_LEFT,
        FR = SF_CHANNEL_MAP_FRONT_RIGHT,
        FC = SF_CHANNEL_MAP_FRONT_CENTER,
        LFE = SF_CHANNEL_MAP_LFE,
        RL = SF_CHANNEL_MAP_REAR_LEFT,
        RR = SF_CHANNEL_MAP_REAR_RIGHT,
        RC = SF_CHANNEL_MAP_REAR_CENTER,
        SL = SF_CHANNEL_MAP_SIDE_LEFT,
        SR = SF_CHANNEL_MAP_SIDE_RIGHT,
    };
    static const std::array<std::vector<int>, 9> kWave{{{},
                                                        {},
                                                        {},
                                                        {FL, FR, FC},
                                                        {FL, FR, RL, RR},
                                                        {FL, FR, FC, RL, RR},
                                                        {FL, FR, FC, LFE, RL, RR},
                                                        {FL, FR, FC, LFE, RC, SL, SR},
                                                        {FL, FR, FC, LFE, RL, RR, SL, SR}}};
    static const std::array<std::vector<int>, 9> kVorbis{{{},
                                                          {},
                                                          {},
                                                          {FL, FC, FR},
                                                          {FL, FR, RL, RR},
                                                          {FL, FC, FR, RL, RR},
                                                          {FL, FC, FR, RL, RR, LFE},
                                                          {FL, FC, FR, SL, SR, RC, LFE},
                                                          {FL, FC, FR, SL, SR, RL, RR, LFE}}};
    if (channels < 3 || channels > 8) {
        return {};
    }
    const int major = format & SF_FORMAT_TYPEMASK;
    const int minor = format & SF_FORMAT_SUBMASK;
    if (major == SF_FORMAT_OGG && (minor == SF_FORMAT_VORBIS || minor == SF_FORMAT_OPUS)) {
        return kVorbis[static_cast<std::size_t>(channels)];
    }
    if (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_W64 ||
        major == SF_FORMAT_RF64 || major == SF_FORMAT_FLAC) {
        return kWave[static_cast<std::size_t>(channels)];
    }
    return {};
}

// How much of a channel at `position` goes {left, right}.
std::array<float, 2> stereoWeights(int position, std::size_t index) {
    switch (position) {
        case SF_CHANNEL_MAP_MONO:
        case SF_CHANNEL_MAP_CENTER:
        case SF_CHANNEL_MAP_FRONT_CENTER:
        case SF_CHANNEL_MAP_AMBISONIC_B_W:
            return {kMinus3dB, kMinus3dB};
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
            return {1.0f, 0.0f};
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
            return {0.0f, 1.0f};
        case SF_CHANNEL_MAP_REAR_LEFT:
        case SF_CHANNEL_MAP_SIDE_LEFT:
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
        case SF_CHANNEL_MAP_TOP_REAR_LEFT:
            return {kMinus3dB, 0.0f};
        case SF_CHANNEL_MAP_REAR_RIGHT:
        case SF_CHANNEL_MAP_SIDE_RIGHT:
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
            return {0.0f, kMinus3dB};
        case SF_CHANNEL_MAP_REAR_CENTER:
        case SF_CHANNEL_MAP_TOP_CENTER:
        case SF_CHANNEL_MAP_TOP_FRONT_CENTER:
        case SF_CHANNEL_MAP_TOP_REAR_CENTER:
            return {0.5f, 0.5f};
        case SF_CHANNEL_MAP_LFE:
        case SF_CHANNEL_MAP_AMBISONIC_B_X:
        case SF_CHANNEL_MAP_AMBISONIC_B_Y:
        case SF_CHANNEL_MAP_AMBISONIC_B_Z:
            return {0.0f, 0.0f};
        default:
            // Unknown place: alternate sides, as most layouts start left, right.
            return index % 2 == 0 ? std::array{1.0f, 0.0f} : std::array{0.0f, 1.0f};
    }
}

// Left and right weights of each channel, interleaved, for a file of more than two channels.
std::vector<float> downmixWeights(SNDFILE* file, int format, std::size_t channels) {
    std::vector<int> layout(channels, SF_CHANNEL_MAP_INVALID);
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, layout.data(),
                   static_cast<int>(channels * sizeof(int))) != SF_TRUE) {
        layout = defaultLayout(format, static_cast<int>(channels));
        layout.resize(channels, SF_CHANNEL_MAP_INVALID);
    }
    std::vector<float> weights(2 * channels);
    std::array<float, 2> sums{};
    for (std::size_t c = 0; c < channels; ++c) {
        const auto w = stereoWeights(layout[c], c);
        weights[2 * c] = w[0];
        weights[2 * c + 1] = w[1];
        sums[0] += w[0];
        sums[1] += w[1];
    }
    if (sums[0] == 0.0f && sums[1] == 0.0f) {
        // Nothing audible by position (all LFE, say): fall back to alternating sides.
        for (std::size_t c = 0; c < channels; ++c) {
            const auto w = stereoWeights(SF_CHANNEL_MAP_INVALID, c);
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
    return static_cast<std::int16_t>(std::lrint(scaled));
}

void putLittleEndian(std::byte* out, std::int16_t sample) {
    const auto bits = static_cast<std::uint16_t>(sample);
    out[0] = static_cast<std::byte>(bits & 0xff);
    out[1] = static_cast<std::byte>(bits >> 8);
}

}  // namespace

struct AudioDecoder::Impl {
    int fd = -1;
    Cursor streamCursor;
    Cursor countCursor;
    Sndfile stream;
    // Only while a length is still to be counted by decoding.
    Sndfile counter;

    std::size_t channels = 0;
    // Channels after the downmix: 1 for mono, which is doubled only when written out, else 2.
    std::size_t mixedChannels = 0;
    int rate = 0;
    std::size_t rawFrames = 0;
    std::vector<float> weights;
    std::vector<float> raw;
    std::vector<float> mixed;
    std::vector<float> resampled;
    Resampler resampler;

    // Frames of the file at its own rate, once known; `counted` is the counting pass's progress.
    std::optional<std::uint64_t> inputTotal;
    std::uint64_t counted = 0;

    // Stream position.
    bool failed = false;
    bool decodeEnded = false;
    std::uint64_t delivered = 0;
    std::size_t mixedOffset = 0;
    std::size_t mixedFrames = 0;
    bool inputEnded = false;
    bool audioEnded = false;
    std::uint64_t emitted = 0;
    std::array<std::byte, kChunkFrames * kBytesPerFrame> staging{};
    std::size_t stagingPos = 0;
    std::size_t stagingLen = 0;

    ~Impl() {
        stream.reset();
        counter.reset();
        if (fd >= 0) {
            ::close(fd);
        }
    }

    std::uint64_t cdFrames(std::uint64_t input) const {
        const auto r = static_cast<std::uint64_t>(rate);
        return input / r * kSampleRate + (input % r * kSampleRate + r - 1) / r;
    }

    std::uint64_t cdFrameTotal() {
        countToEnd();
        return cdFrames(*inputTotal);
    }

    void settleLength(std::uint64_t frames) {
        inputTotal = frames;
        counter.reset();
    }

    void countToEnd() {
        if (inputTotal) {
            return;
        }
        while (counted < kMaxInputFrames) {
            const sf_count_t n =
                sf_readf_float(counter.get(), raw.data(), static_cast<sf_count_t>(rawFrames));
            if (n <= 0) {
                break;
            }
            counted += static_cast<std::uint64_t>(n);
        }
        settleLength(std::min(counted, kMaxInputFrames));
    }

    // Next frames of the file, downmixed, into `out` (kChunkFrames at most); 0 at the end.
    std::size_t pullInput(float* out) {
        const std::uint64_t limit = inputTotal.value_or(kMaxInputFrames);
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>({kChunkFrames, rawFrames, limit - std::min(limit, delivered)}));
        if (want == 0) {
            if (!inputTotal) {
                settleLength(delivered);
            }
            return 0;
        }
        std::size_t got = 0;
        if (!decodeEnded) {
            float* target = channels <= 2 ? out : raw.data();
            const sf_count_t n =
                sf_readf_float(stream.get(), target, static_cast<sf_count_t>(want));
            if (n <= 0) {
                decodeEnded = true;
            } else {
                got = static_cast<std::size_t>(n);
                if (channels > 2) {
                    downmix(got, out);
                }
            }
        }
        if (got == 0) {
            // At the real end, the length is what decoded. A file shorter than its header said
            // ends here too: refill() pads the stream to the announced length with silence.
            if (!inputTotal) {
                settleLength(delivered);
            }
            return 0;
        }
        delivered += got;
        return got;
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

    // Next frames of audio at 44.1 kHz into `data`; 0 once the file's audio is over.
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
            }
            SRC_DATA step{};
            step.data_in = mixed.data() + mixedOffset * mixedChannels;
            step.input_frames = static_cast<long>(mixedFrames);
            step.data_out = resampled.data();
            step.output_frames = static_cast<long>(kChunkFrames);
            step.end_of_input = inputEnded ? 1 : 0;
            step.src_ratio = static_cast<double>(kSampleRate) / rate;
            if (src_process(resampler.get(), &step) != 0) {
                return 0;
            }
            mixedOffset += static_cast<std::size_t>(step.input_frames_used);
            mixedFrames -= static_cast<std::size_t>(step.input_frames_used);
            if (step.output_frames_gen > 0) {
                data = resampled.data();
                return static_cast<std::size_t>(step.output_frames_gen);
            }
            if (inputEnded || step.input_frames_used == 0) {
                return 0;
            }
        }
    }

    // Converts the next frames of the stream into `staging`; false at its end.
    bool refill() {
        stagingPos = 0;
        stagingLen = 0;
        if (failed) {
            return false;
        }
        std::size_t frames = 0;
        if (!audioEnded) {
            const float* data = nullptr;
            frames = produce(data);
            if (inputTotal) {
                // The resampler's tail may run past the exact length.
                const std::uint64_t target = cdFrames(*inputTotal);
                frames = static_cast<std::size_t>(
                    std::min<std::uint64_t>(frames, target - std::min(target, emitted)));
            }
            if (frames == 0) {
                audioEnded = true;
                if (!inputTotal) {
                    // Only a resampler failure ends the audio before the input does.
                    settleLength(delivered);
                }
            }
            std::byte* out = staging.data();
            for (std::size_t f = 0; f < frames; ++f, out += kBytesPerFrame) {
                const std::int16_t left = toPcm16(data[f * mixedChannels]);
                const std::int16_t right =
                    mixedChannels == 2 ? toPcm16(data[f * mixedChannels + 1]) : left;
                putLittleEndian(out, left);
                putLittleEndian(out + 2, right);
            }
        }
        if (audioEnded) {
            // Short resampler tails, truncated files and the last block's padding: silence.
            const std::uint64_t end =
                (cdFrames(*inputTotal) + kFramesPerBlock - 1) / kFramesPerBlock * kFramesPerBlock;
            frames = static_cast<std::size_t>(
                std::min<std::uint64_t>(kChunkFrames, end - std::min(end, emitted)));
            std::fill_n(staging.data(), frames * kBytesPerFrame, std::byte{0});
        }
        emitted += frames;
        stagingLen = frames * kBytesPerFrame;
        return frames > 0;
    }

    bool restart() {
        stream.reset();
        SF_INFO info{};
        stream = openHandle(streamCursor, info);
        failed = !stream || static_cast<std::size_t>(info.channels) != channels ||
                 info.samplerate != rate;
        decodeEnded = false;
        delivered = 0;
        mixedOffset = 0;
        mixedFrames = 0;
        inputEnded = false;
        audioEnded = false;
        emitted = 0;
        stagingPos = 0;
        stagingLen = 0;
        if (resampler) {
            src_reset(resampler.get());
        }
        return !failed;
    }
};

AudioDecoder::AudioDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AudioDecoder::~AudioDecoder() = default;

std::unique_ptr<AudioDecoder> AudioDecoder::open(const std::string& path) {
    auto impl = std::make_unique<Impl>();
    impl->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (impl->fd < 0 || ::fstat(impl->fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size <= 0) {
        return nullptr;
    }
    impl->streamCursor = Cursor{impl->fd, status.st_size, 0};
    impl->countCursor = impl->streamCursor;

    SF_INFO info{};
    impl->stream = openHandle(impl->streamCursor, info);
    if (!impl->stream || info.channels < 1 || info.samplerate < 1 ||
        !src_is_valid_ratio(static_cast<double>(kSampleRate) / info.samplerate)) {
        return nullptr;
    }
    impl->channels = static_cast<std::size_t>(info.channels);
    impl->mixedChannels = impl->channels == 1 ? 1 : 2;
    impl->rate = info.samplerate;
    impl->rawFrames = std::max<std::size_t>(1, kRawSamples / impl->channels);
    impl->raw.resize(impl->rawFrames * impl->channels);
    impl->mixed.resize(kChunkFrames * impl->mixedChannels);
    if (impl->channels > 2) {
        impl->weights = downmixWeights(impl->stream.get(), info.format, impl->channels);
    }
    if (impl->rate != kSampleRate) {
        int error = 0;
        impl->resampler.reset(
            src_new(SRC_SINC_MEDIUM_QUALITY, static_cast<int>(impl->mixedChannels), &error));
        if (!impl->resampler) {
            return nullptr;
        }
        impl->resampled.resize(kChunkFrames * impl->mixedChannels);
    }

    // MP3 and Ogg headers may state a length other than what decodes; so may a header with no
    // usable length at all. Those are counted by decoding, on a second handle.
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const bool counts = major == SF_FORMAT_MPEG || major == SF_FORMAT_OGG || info.frames <= 0 ||
                        info.frames == SF_COUNT_MAX;
    sf_count_t probed = 0;
    if (counts) {
        SF_INFO countInfo{};
        impl->counter = openHandle(impl->countCursor, countInfo);
        if (!impl->counter) {
            return nullptr;
        }
        // The counting pass starts here: what the probe decodes is counted already.
        probed = sf_readf_float(impl->counter.get(), impl->raw.data(),
                                static_cast<sf_count_t>(impl->rawFrames));
        impl->counted = probed > 0 ? static_cast<std::uint64_t>(probed) : 0;
    } else {
        if (static_cast<std::uint64_t>(info.frames) > kMaxInputFrames) {
            return nullptr;
        }
        impl->inputTotal = static_cast<std::uint64_t>(info.frames);
        probed = sf_readf_float(impl->stream.get(), impl->raw.data(), 1);
    }
    // A file from which nothing decodes is no track, whatever its header says.
    if (probed <= 0 || !impl->restart()) {
        return nullptr;
    }
    return std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(impl)));
}

std::uint64_t AudioDecoder::frameCount() {
    return impl_->cdFrameTotal();
}

std::uint64_t AudioDecoder::blockCount() {
    return (frameCount() + kFramesPerBlock - 1) / kFramesPerBlock;
}

std::size_t AudioDecoder::read(std::span<std::byte> out) {
    Impl& d = *impl_;
    std::size_t written = 0;
    while (written < out.size()) {
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

bool AudioDecoder::rewind() {
    return impl_->restart();
}

}  // namespace kilnware::platform::media
