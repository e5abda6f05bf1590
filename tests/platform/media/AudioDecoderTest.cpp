#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

#include "platform/media/AudioDecoder.h"

namespace kilnware::platform::media {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

constexpr double kPi = 3.14159265358979323846;

class AudioDecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kilnware-media-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Writes interleaved `samples` to `name` with libsndfile.
    template <class Sample>
    std::string write(const std::string& name, int format, int rate, int channels,
                      const std::vector<Sample>& samples) {
        const std::string path = (dir_ / name).string();
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        EXPECT_TRUE(sf_format_check(&info)) << name;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << name << ": " << sf_strerror(nullptr);
        if (file) {
            const auto frames = static_cast<sf_count_t>(samples.size()) / channels;
            if constexpr (std::is_same_v<Sample, short>) {
                EXPECT_EQ(sf_writef_short(file, samples.data(), frames), frames);
            } else {
                EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
            }
            sf_close(file);
        }
        return path;
    }

    std::string writeBytes(const std::string& name, const std::string& content) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path dir_;
};

std::string fileContent(const std::string& path) {
    std::string content(fs::file_size(path), '\0');
    std::ifstream(path, std::ios::binary)
        .read(content.data(), static_cast<std::streamsize>(content.size()));
    return content;
}

// The whole stream, read `chunk` bytes at a time.
Bytes readAll(AudioDecoder& decoder, std::size_t chunk = 65536) {
    Bytes all;
    Bytes buffer(chunk);
    while (std::size_t n = decoder.read(buffer)) {
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return all;
}

std::int16_t sampleAt(const Bytes& stream, std::size_t frame, int channel) {
    const std::size_t at = frame * 4 + static_cast<std::size_t>(channel) * 2;
    return static_cast<std::int16_t>(std::to_integer<unsigned>(stream[at]) |
                                     (std::to_integer<unsigned>(stream[at + 1]) << 8));
}

Bytes littleEndian(const std::vector<short>& samples) {
    Bytes out;
    for (short s : samples) {
        const auto bits = static_cast<std::uint16_t>(s);
        out.push_back(static_cast<std::byte>(bits & 0xff));
        out.push_back(static_cast<std::byte>(bits >> 8));
    }
    return out;
}

std::vector<short> noise(std::size_t count, unsigned seed) {
    std::vector<short> samples(count);
    for (auto& s : samples) {
        seed = seed * 1103515245u + 12345u;
        s = static_cast<short>(seed >> 16);
    }
    samples[0] = std::numeric_limits<short>::min();
    samples[1] = std::numeric_limits<short>::max();
    return samples;
}

std::vector<float> sine(int rate, int channels, std::size_t frames, double hz, float level) {
    std::vector<float> samples;
    for (std::size_t f = 0; f < frames; ++f) {
        samples.insert(samples.end(), static_cast<std::size_t>(channels),
                       level * static_cast<float>(std::sin(2 * kPi * hz * f / rate)));
    }
    return samples;
}

// What libsndfile itself decodes from `path`, in frames at 44.1 kHz, rounded up.
std::uint64_t decodedCdFrames(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> buffer(4096 * static_cast<std::size_t>(info.channels));
    std::uint64_t total = 0;
    while (sf_count_t n = sf_readf_float(file, buffer.data(), 4096)) {
        total += static_cast<std::uint64_t>(n);
    }
    sf_close(file);
    const auto rate = static_cast<std::uint64_t>(info.samplerate);
    return (total * 44100 + rate - 1) / rate;
}

TEST_F(AudioDecoderTest, PassesCdAudioThroughByteForByte) {
    const auto source = noise(44100 * 2, 7);
    for (const auto& [name, format] : {std::pair{"cd.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                       std::pair{"cd.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                                       std::pair{"cd.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(name);
        auto decoder = AudioDecoder::open(write(name, format, 44100, 2, source));
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->frameCount(), 44100u);
        EXPECT_EQ(decoder->blockCount(), 75u);
        EXPECT_EQ(readAll(*decoder, 1001), littleEndian(source));
    }

    // One frame more takes a whole block more, padded with silence; odd reads and a rewind in the
    // middle of the stream change nothing.
    auto longer = source;
    longer.insert(longer.end(), {1234, -1234});
    auto decoder =
        AudioDecoder::open(write("longer.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, longer));
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->blockCount(), 76u);
    Bytes expected = littleEndian(longer);
    expected.resize(76 * AudioDecoder::kBytesPerBlock);
    std::array<std::byte, 3> odd{};
    EXPECT_EQ(decoder->read(odd), 3u);
    ASSERT_TRUE(decoder->rewind());
    EXPECT_EQ(readAll(*decoder, 3), expected);
    EXPECT_EQ(decoder->read(odd), 0u);
    ASSERT_TRUE(decoder->rewind());
    EXPECT_EQ(readAll(*decoder), expected);

    // Mono goes to both channels unchanged.
    const auto mono = noise(1000, 3);
    decoder =
        AudioDecoder::open(write("mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, mono));
    ASSERT_TRUE(decoder);
    std::vector<short> doubled;
    for (short s : mono) {
        doubled.insert(doubled.end(), {s, s});
    }
    expected = littleEndian(doubled);
    expected.resize(2 * AudioDecoder::kBytesPerBlock);
    EXPECT_EQ(readAll(*decoder), expected);
}

TEST_F(AudioDecoderTest, ResamplesToTheExactLength) {
    struct Case {
        int rate;
        int channels;
        std::size_t frames;
        std::uint64_t cdFrames;
    };
    for (const Case& c : {Case{48000, 1, 48000, 44100}, Case{48000, 1, 48001, 44101},
                          Case{22050, 2, 22050, 44100}, Case{32000, 2, 32001, 44102}}) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.frames << " frames");
        const auto source = sine(c.rate, c.channels, c.frames, 1000, 0.5f);
        auto decoder = AudioDecoder::open(
            write("resampled.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, c.rate, c.channels, source));
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->frameCount(), c.cdFrames);
        const Bytes stream = readAll(*decoder);
        EXPECT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
        // Still a 1 kHz tone of the same level, now at 44.1 kHz, away from the edges.
        for (std::size_t f = 1000; f < 43000; f += 997) {
            const double want = 0.5 * 32768 * std::sin(2 * kPi * 1000 * f / 44100);
            ASSERT_NEAR(sampleAt(stream, f, 0), want, 40) << f;
            ASSERT_EQ(sampleAt(stream, f, 0), sampleAt(stream, f, 1)) << f;
        }
    }
}

TEST_F(AudioDecoderTest, MixesMoreChannelsDownToStereo) {
    // Five segments of 5.1 (FL FR C LFE RL RR): front left alone, centre alone, LFE alone, rear
    // right alone, everything at full scale.
    std::vector<short> surround;
    const std::vector<std::vector<short>> segments{{16000, 0, 0, 0, 0, 0},
                                                   {0, 0, 16000, 0, 0, 0},
                                                   {0, 0, 0, 16000, 0, 0},
                                                   {0, 0, 0, 0, 0, 16000},
                                                   {32767, 32767, 32767, 32767, 32767, 32767}};
    for (const auto& frame : segments) {
        for (int i = 0; i < 100; ++i) {
            surround.insert(surround.end(), frame.begin(), frame.end());
        }
    }
    for (const auto& [name, format] :
         {std::pair{"surround.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
          std::pair{"surround.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(name);
        auto decoder = AudioDecoder::open(write(name, format, 44100, 6, surround));
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->frameCount(), 500u);
        const Bytes s = readAll(*decoder);
        EXPECT_GT(sampleAt(s, 50, 0), 5000);  // front left stays left
        EXPECT_EQ(sampleAt(s, 50, 1), 0);
        EXPECT_GT(sampleAt(s, 150, 0), 3000);  // centre goes to both sides alike
        EXPECT_EQ(sampleAt(s, 150, 0), sampleAt(s, 150, 1));
        EXPECT_EQ(sampleAt(s, 250, 0), 0);  // LFE is left out
        EXPECT_EQ(sampleAt(s, 250, 1), 0);
        EXPECT_EQ(sampleAt(s, 350, 0), 0);  // rear right stays right, lower than a front channel
        EXPECT_GT(sampleAt(s, 350, 1), 3000);
        EXPECT_LT(sampleAt(s, 350, 1), sampleAt(s, 50, 0));
        // Full scale everywhere neither clips nor wraps.
        EXPECT_NEAR(sampleAt(s, 450, 0), 32767, 2);
        EXPECT_NEAR(sampleAt(s, 450, 1), 32767, 2);
    }

    // Without a known layout, even channels go left and odd ones right.
    auto decoder = AudioDecoder::open(write("three.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100,
                                            3, std::vector<short>{1000, 3000, 5000}));
    ASSERT_TRUE(decoder);
    const Bytes s = readAll(*decoder);
    EXPECT_EQ(sampleAt(s, 0, 0), 3000);
    EXPECT_EQ(sampleAt(s, 0, 1), 3000);
}

TEST_F(AudioDecoderTest, ClipsOutOfRangeSamples) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> source{2.0f, -3.0f, inf,   -inf,   nan,  0.5f,         -0.5f,
                                    1.0f, -1.0f, 1e30f, -1e30f, 0.0f, 1.0f / 32768, -1.0f / 32768};
    auto decoder =
        AudioDecoder::open(write("loud.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, source));
    ASSERT_TRUE(decoder);
    const Bytes s = readAll(*decoder);
    const std::vector<std::int16_t> expected{32767, -32768, 32767, -32768, 0, 16384, -16384,
                                             32767, -32768, 32767, -32768, 0, 1,     -1};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(sampleAt(s, i / 2, static_cast<int>(i % 2)), expected[i]) << i;
    }
}

TEST_F(AudioDecoderTest, CountsLossyFilesByWhatReallyDecodes) {
    const auto tone = sine(44100, 2, 44100, 440, 0.5f);
    const auto tone48 = sine(48000, 2, 48000, 440, 0.5f);
    std::vector<std::string> paths{
        write("tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, tone),
        write("tone48.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2, tone48),
        write("tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, tone)};
    // An MP3 cut short still carries the full length in its header.
    const std::string whole = fileContent(paths.back());
    paths.push_back(writeBytes("cut.mp3", whole.substr(0, whole.size() / 4)));

    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        // Counted first, or learnt at the end of the stream: the same answer and the same bytes.
        auto counted = AudioDecoder::open(path);
        auto streamed = AudioDecoder::open(path);
        ASSERT_TRUE(counted && streamed);
        const std::uint64_t frames = counted->frameCount();
        const Bytes countedBytes = readAll(*counted);
        const Bytes streamedBytes = readAll(*streamed);
        EXPECT_EQ(streamed->frameCount(), frames);
        EXPECT_EQ(countedBytes, streamedBytes);
        EXPECT_EQ(countedBytes.size(), counted->blockCount() * AudioDecoder::kBytesPerBlock);

        EXPECT_EQ(frames, decodedCdFrames(path));
        if (path.ends_with("cut.mp3")) {
            EXPECT_LT(frames, 44100u * 2 / 3);
        } else {
            EXPECT_NEAR(static_cast<double>(frames), 44100.0, 44100.0 * 0.05);
        }
    }
}

TEST_F(AudioDecoderTest, PadsATruncatedFileToItsAnnouncedLength) {
    const auto source = noise(44100 * 2, 11);
    const std::string whole =
        fileContent(write("whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, source));
    auto decoder = AudioDecoder::open(writeBytes("cut.flac", whole.substr(0, whole.size() / 2)));
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->frameCount(), 44100u);
    const Bytes s = readAll(*decoder);
    ASSERT_EQ(s.size(), 75 * AudioDecoder::kBytesPerBlock);
    const Bytes original = littleEndian(source);
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 4096 * 4, s.begin()));
    EXPECT_TRUE(
        std::all_of(s.end() - 4096 * 4, s.end(), [](std::byte b) { return b == std::byte{0}; }));
}

TEST_F(AudioDecoderTest, GivesNoDecoderForWhatIsNoTrack) {
    const std::string wav = fileContent(
        write("good.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, noise(44100 * 2, 5)));
    const std::string flac = fileContent(
        write("good.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, noise(44100 * 2, 5)));
    fs::create_directory(dir_ / "folder.wav");
    for (const std::string& path : {
             (dir_ / "missing.wav").string(),
             writeBytes("empty.wav", ""),
             writeBytes("text.wav", "These are not the samples you are looking for.\n"),
             writeBytes("header.wav", wav.substr(0, 20)),
             writeBytes("nodata.wav", wav.substr(0, 44)),          // a whole header, zero frames
             writeBytes("streaminfo.flac", flac.substr(0, 1000)),  // opens, decodes nothing
             (dir_ / "folder.wav").string(),
         }) {
        EXPECT_FALSE(AudioDecoder::open(path)) << path;
    }
}

TEST_F(AudioDecoderTest, OpensFromSeveralThreadsAtOnce) {
    const std::string good = write("tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2,
                                   sine(44100, 2, 4410, 440, 0.5f));
    const std::string bad = writeBytes("bad.wav", "RIFF....WAVEfmt ");
    std::array<std::uint64_t, 8> blocks{};
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < blocks.size(); ++t) {
            threads.emplace_back([&, t] {
                auto decoder = AudioDecoder::open(t % 2 ? bad : good);
                blocks[t] = decoder ? decoder->blockCount() : 0;
            });
        }
    }
    for (std::size_t t = 0; t < blocks.size(); ++t) {
        EXPECT_EQ(blocks[t], t % 2 ? 0u : 8u) << t;
    }
}

}  // namespace
}  // namespace kilnware::platform::media
