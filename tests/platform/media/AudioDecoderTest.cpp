#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

#include <kilnware/platform/discrecording/DRTrack.h>
#include "platform/media/AudioDecoder.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::platform::media {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

constexpr double kPi = 3.14159265358979323846;

class AudioDecoderTest : public ::testing::Test {
protected:
    // Writes interleaved `samples` to `name` with libsndfile.
    template <class Sample>
    std::string write(const std::string& name, int format, int rate, int channels,
                      const std::vector<Sample>& samples) {
        const std::string path = dir.file(name);
        SF_INFO info{0, rate, channels, format, 0, 0};  // frames, rate, channels, format...
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);  // none fails the write below
        const auto frames = static_cast<sf_count_t>(samples.size()) / channels;
        if constexpr (std::is_same_v<Sample, short>) {
            EXPECT_EQ(sf_writef_short(file, samples.data(), frames), frames) << name;
        } else {
            EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames) << name;
        }
        sf_close(file);
        return path;
    }

    std::string writeBytes(const std::string& name, const std::string& content) {
        test::writeFile(dir.file(name), content);
        return dir.file(name);
    }

    test::TempDir dir;
};

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

// A frame past a whole block takes a block more, padded with silence; odd reads and a rewind in
// the middle of the stream change nothing.
TEST_F(AudioDecoderTest, PassesCdAudioThroughByteForByte) {
    struct Case {
        const char* name;
        int format;
        std::uint64_t frames, blocks;
    };
    for (const Case& c : {Case{"cd.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 75},
                          Case{"cd.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44101, 76},
                          Case{"cd.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44101, 76}}) {
        SCOPED_TRACE(c.name);
        const auto source = noise(c.frames * 2, 7);
        auto decoder = AudioDecoder::open(write(c.name, c.format, 44100, 2, source));
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->frameCount(), c.frames);
        EXPECT_EQ(decoder->blockCount(), c.blocks);
        Bytes expected = littleEndian(source);
        expected.resize(c.blocks * AudioDecoder::kBytesPerBlock);
        std::array<std::byte, 3> odd{};
        EXPECT_EQ(decoder->read(odd), 3u);
        ASSERT_TRUE(decoder->rewind());
        EXPECT_EQ(readAll(*decoder, 1001), expected);
        EXPECT_EQ(decoder->read(odd), 0u);
        ASSERT_TRUE(decoder->rewind());
        EXPECT_EQ(readAll(*decoder, 3), expected);
    }
}

// Resampled to the exact length, and transparent to 20 kHz: a tone anywhere below keeps its level
// (and a 1 kHz tone its every sample) through the resampler.
TEST_F(AudioDecoderTest, ResamplesToTheExactLengthKeepingEveryToneUpTo20kHz) {
    struct Case {
        int rate;
        int channels;
        std::size_t frames;
        std::uint64_t cdFrames;
        double hz = 1000;
    };
    for (const Case& c :
         {Case{48000, 1, 48000, 44100}, Case{48000, 1, 48001, 44101}, Case{22050, 2, 22050, 44100},
          Case{32000, 2, 32001, 44102}, Case{48000, 2, 48000, 44100, 15000},
          Case{48000, 2, 48000, 44100, 20000}, Case{96000, 2, 96000, 44100},
          Case{96000, 2, 96000, 44100, 15000}, Case{96000, 2, 96000, 44100, 20000}}) {
        SCOPED_TRACE(testing::Message() << c.hz << " Hz at " << c.rate << " Hz, " << c.frames);
        const auto source = sine(c.rate, c.channels, c.frames, c.hz, 0.5f);
        auto decoder = AudioDecoder::open(
            write("resampled.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, c.rate, c.channels, source));
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->frameCount(), c.cdFrames);
        const Bytes stream = readAll(*decoder);
        EXPECT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
        double power = 0;
        for (std::size_t f = 4410; f < 39690; ++f) {
            power += std::pow(sampleAt(stream, f, 0) / 32768.0, 2) / (39690 - 4410);
        }
        EXPECT_NEAR(10 * std::log10(power / 0.125), 0.0, 0.1);
        // Still a 1 kHz tone of the same level, now at 44.1 kHz, away from the edges.
        for (std::size_t f = 1000; c.hz == 1000 && f < 43000; f += 997) {
            const double want = 0.5 * 32768 * std::sin(2 * kPi * 1000 * f / 44100);
            ASSERT_NEAR(sampleAt(stream, f, 0), want, 40) << f;
            ASSERT_EQ(sampleAt(stream, f, 0), sampleAt(stream, f, 1)) << f;
        }
    }
}

TEST_F(AudioDecoderTest, MixesAnyChannelsToStereo) {
    // Five segments of 5.1 (FL FR C LFE RL RR): front left alone, centre alone, LFE alone, rear
    // right alone, everything at full scale.
    std::vector<short> surround;
    const short m = 16000, x = 32767;
    const std::vector<std::vector<short>> segments{{m, 0, 0, 0, 0, 0},
                                                   {0, 0, m, 0, 0, 0},
                                                   {0, 0, 0, m, 0, 0},
                                                   {0, 0, 0, 0, 0, m},
                                                   {x, x, x, x, x, x}};
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

    // Mono goes to both channels unchanged; without a known layout, even channels go left and odd
    // ones right.
    const std::tuple<int, std::vector<short>, std::vector<short>> others[] = {
        {1, {-32768, 32767, 7}, {-32768, -32768, 32767, 32767, 7, 7}},
        {3, {1000, 3000, 5000}, {3000, 3000}}};
    for (const auto& [channels, samples, stereo] : others) {
        auto decoder = AudioDecoder::open(
            write("other.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, channels, samples));
        ASSERT_TRUE(decoder);
        Bytes expected = littleEndian(stereo);
        expected.resize(AudioDecoder::kBytesPerBlock);
        EXPECT_EQ(readAll(*decoder), expected) << channels;
    }
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

// The formats people keep their music in, as ffmpeg writes them. `exact` formats state their
// length, and a file that holds less than that must fail; the others are measured from what is
// there.
struct Format {
    const char* name;
    std::vector<std::string> codec;
    bool exact;
};
const std::vector<Format> kFormats = {
    {"t.wav", {"-c:a", "pcm_s16le"}, true},
    {"t.aiff", {"-c:a", "pcm_s16be"}, true},
    {"t.flac", {"-c:a", "flac"}, true},
    {"t.wv", {"-c:a", "wavpack"}, true},
    {"alac.m4a", {"-c:a", "alac"}, true},
    {"t.mp3", {"-c:a", "libmp3lame", "-b:a", "192k"}, true},
    {"t.ogg", {"-c:a", "libvorbis"}, false},
    {"t.opus", {"-c:a", "libopus"}, false},
    {"aac.m4a", {"-c:a", "aac"}, false},
    {"t.wma", {"-c:a", "wmav2"}, false},
};
constexpr std::uint64_t kToneFrames = 44100 * 3;

// A three-second tone (or another of ffmpeg's sources) in `format`, made by ffmpeg.
std::string makeTone(
    const test::TempDir& dir, const Format& format,
    const std::string& source = "sine=frequency=440:sample_rate=44100:duration=3") {
    const std::string path = dir.file(format.name);
    std::vector<std::string> arguments{"-nostdin", "-v", "error", "-y",  "-f",
                                       "lavfi",    "-i", source,  "-ac", "2"};
    arguments.insert(arguments.end(), format.codec.begin(), format.codec.end());
    arguments.push_back(path);
    const auto made = test::runProgram("ffmpeg", arguments);
    EXPECT_EQ(made.status, 0) << made.err;
    return path;
}

// What ffmpeg itself decodes from `path`, in frames at 44.1 kHz, rounded up.
std::uint64_t ffmpegCdFrames(const std::string& path, int rate) {
    const auto run = test::runProgram(
        "ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-f", "s16le", "-ac", "2", "-"});
    const std::uint64_t frames = run.out.size() / 4;
    const auto r = static_cast<std::uint64_t>(rate);
    return (frames * 44100 + r - 1) / r;
}

// The longest run of silent frames in `stream` between its 4096th frame and 4096 frames before
// `frames` (AAC's priming and padding may be silent).
std::size_t longestSilence(const Bytes& stream, std::size_t frames) {
    std::size_t longest = 0;
    std::size_t run = 0;
    for (std::size_t f = 4096; f + 4096 < frames && f * 4 + 3 < stream.size(); ++f) {
        const bool silent = sampleAt(stream, f, 0) == 0 && sampleAt(stream, f, 1) == 0;
        run = silent ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// Each format decodes whole to its exact length. Then cut, overwritten in the middle, grown by
// garbage in the middle, or garbage throughout, a file of any format either is refused, or streams
// with an error naming it, or streams whole without a stretch of silence. An exact format never
// passes for whole when samples are missing; a cut WAV file keeps what is there.
TEST_F(AudioDecoderTest, DecodesEveryFormatToItsExactLengthAndDamageNeverTurnsToSilence) {
    enum class Damage { Cut, Overwritten, Inserted, Garbage };
    const auto random = noise(10 * 1024, 99);
    const std::string garbage(reinterpret_cast<const char*>(random.data()), random.size() * 2);
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.name);
        const std::string tone = makeTone(dir, format);
        auto decoder = AudioDecoder::open(tone);
        ASSERT_TRUE(decoder);
        const int rate = std::string(format.name).ends_with(".opus") ? 48000 : 44100;
        if (format.exact) {
            EXPECT_EQ(decoder->frameCount(), kToneFrames);
        }
        EXPECT_EQ(decoder->frameCount(), ffmpegCdFrames(tone, rate));
        Bytes stream = readAll(*decoder);
        EXPECT_EQ(decoder->error(), "");
        EXPECT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
        EXPECT_LT(longestSilence(stream, decoder->frameCount()), 100u);
        // Still the tone: ffmpeg's sine at an eighth of full scale, -3 dB on each channel.
        std::int16_t peak = 0;
        for (std::size_t f = 0; f < 44100; ++f) {
            peak = std::max(peak, sampleAt(stream, f, 0));
        }
        EXPECT_NEAR(peak, 2896, 300);

        const std::string whole = test::readFile(tone);
        const std::size_t middle = whole.size() * 2 / 5, fifth = whole.size() / 5;
        for (Damage damage :
             {Damage::Cut, Damage::Overwritten, Damage::Inserted, Damage::Garbage}) {
            const std::string content =
                damage == Damage::Cut ? whole.substr(0, whole.size() / 2)
                : damage == Damage::Overwritten
                    ? std::string(whole).replace(middle, std::min(garbage.size(), fifth),
                                                 garbage.substr(0, fifth))
                : damage == Damage::Inserted ? std::string(whole).insert(middle, garbage)
                                             : garbage;
            const std::string path =
                writeBytes(std::to_string(static_cast<int>(damage)) + format.name, content);
            SCOPED_TRACE(path);
            decoder = AudioDecoder::open(path);
            if (!decoder) {
                continue;
            }
            stream = readAll(*decoder);
            const bool cutWav = damage == Damage::Cut && path.ends_with(".wav");
            if (!decoder->error().empty()) {
                EXPECT_TRUE(decoder->error().starts_with(path + " cannot be decoded past 0:0"))
                    << decoder->error();
                EXPECT_LT(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
                EXPECT_FALSE(cutWav);
                continue;
            }
            EXPECT_NE(damage, Damage::Garbage);
            EXPECT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
            EXPECT_LT(longestSilence(stream, decoder->frameCount()), 100u);
            if (format.exact && damage == Damage::Cut && !cutWav) {
                ADD_FAILURE() << "a cut file streamed as whole";
            }
        }
    }
}

// FLAC and MP3 are decoded in chunks of six seconds: fourteen seconds of noise make three. ffmpeg's
// FLAC frames of 4,608 samples straddle the chunks' borders, and MP3's frames lean on the ones
// before (the further the fewer bits a frame has).
TEST_F(AudioDecoderTest, DecodesFlacAndMp3InChunksAsOnePassWould) {
    const std::string noise = "anoisesrc=color=pink:sample_rate=44100:duration=14:seed=3";
    for (const Format& format : {Format{"n.flac", {"-sample_fmt", "s16", "-c:a", "flac"}, true},
                                 Format{"n.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}, true},
                                 Format{"low.mp3", {"-c:a", "libmp3lame", "-b:a", "32k"}, true},
                                 Format{"vbr.mp3", {"-c:a", "libmp3lame", "-q:a", "9"}, true}}) {
        SCOPED_TRACE(format.name);
        const std::string path = makeTone(dir, format, noise);
        // ffmpeg's own decoding, rounded to 16 bits as the decoder rounds.
        const std::string floats =
            test::runProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-f", "f32le", "-"})
                .out;
        std::vector<short> samples(floats.size() / 4);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            float sample = 0;
            std::memcpy(&sample, floats.data() + 4 * i, 4);
            samples[i] = static_cast<short>(
                std::floor(std::clamp(sample * 32768.0f, -32768.0f, 32767.0f) + 0.5f));
        }
        const Bytes expected = littleEndian(samples);
        auto decoder = AudioDecoder::open(path);
        ASSERT_TRUE(decoder);
        ASSERT_EQ(decoder->frameCount(), samples.size() / 2);
        for (int pass = 0; pass < 2; ++pass) {  // and again after a rewind midway
            const Bytes stream = readAll(*decoder, 50'000);
            EXPECT_EQ(decoder->error(), "");
            ASSERT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
            const auto apart = std::mismatch(expected.begin(), expected.end(), stream.begin());
            EXPECT_EQ(apart.first, expected.end())
                << "apart at frame " << (apart.first - expected.begin()) / 4;
            std::array<std::byte, 4096> some{};
            ASSERT_TRUE(decoder->rewind());
            EXPECT_EQ(decoder->read(some), some.size());
            ASSERT_TRUE(decoder->rewind());
        }
    }
}

// Cut in its last chunk, a FLAC gives all that comes before.
TEST_F(AudioDecoderTest, NamesTheFileAndThePlaceItCannotBeDecodedPast) {
    const auto source = noise(44100 * 2 * 14, 11);
    const std::string whole =
        test::readFile(write("whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, source));
    const std::string path = writeBytes("cut.flac", whole.substr(0, whole.size() * 93 / 100));
    auto decoder = AudioDecoder::open(path);
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->frameCount(), 44100u * 14);
    const Bytes s = readAll(*decoder);
    EXPECT_TRUE(decoder->error().starts_with(path + " cannot be decoded past 0:1"))
        << decoder->error();
    const Bytes original = littleEndian(source);
    ASSERT_GE(s.size(), 44100u * 12 * 4);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), original.begin()));
    std::array<std::byte, 4> more{};
    EXPECT_EQ(decoder->read(more), 0u);
}

// A file written while it streams (here: its first bytes written again as they are, so that
// only the writing shows) fails the stream once its last frame is read, naming it; its track
// refuses a new reader of the file written since it was measured. A WAV, copied as it lies and
// decoded alike, a FLAC decoded in chunks, an MP3.
TEST_F(AudioDecoderTest, AFileWrittenWhileItStreamsFailsNamingIt) {
    const auto samples = noise(44100 * 2 * 8, 12);
    for (const std::string& path :
         {write("w.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, samples),
          write("f.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, samples),
          write("m.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, samples)}) {
        SCOPED_TRACE(path);
        test::ageFile(path);
        auto track = DRTrack::trackForAudioFile(path);
        ASSERT_TRUE(track);
        ASSERT_TRUE(track->newReader());  // the decoder that measured the file, used up
        auto decoder = AudioDecoder::open(path);
        ASSERT_TRUE(decoder);
        Bytes buffer(65536);
        EXPECT_EQ(decoder->read(buffer), buffer.size());
        const std::string head = test::readFile(path).substr(0, 16);
        std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << head;
        readAll(*decoder);
        EXPECT_EQ(decoder->error(), path + " changed while it was burned");
        const auto reader = track->newReader();
        ASSERT_TRUE(reader);
        std::vector<std::byte> out(65536);
        EXPECT_EQ(reader->read(out), 0u);
        EXPECT_EQ(reader->error(), path + " has changed since its track was made");
    }
}

// Special files are refused without waiting for them.
TEST_F(AudioDecoderTest, GivesNoDecoderForWhatIsNoTrack) {
    const std::string fifo = dir.file("fifo.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string wav = test::readFile(
        write("good.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, noise(44100 * 2, 5)));
    const std::string flac = test::readFile(
        write("good.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, noise(44100 * 2, 5)));
    fs::create_directory(dir.file("folder.wav"));
    for (const std::string& path : {
             dir.file("missing.wav"),
             fifo,
             std::string("/dev/null"),
             std::string("/dev/zero"),
             writeBytes("empty.wav", ""),
             writeBytes("text.wav", "These are not the samples you are looking for.\n"),
             writeBytes("header.wav", wav.substr(0, 20)),
             writeBytes("nodata.wav", wav.substr(0, 44)),          // a whole header, zero frames
             writeBytes("streaminfo.flac", flac.substr(0, 1000)),  // opens, decodes nothing
             dir.file("folder.wav"),
             // Files that FFmpeg would follow to another file, burned in their place.
             writeBytes("concat.mp3", "ffconcat version 1.0\nfile good.wav\n"),
             writeBytes("list.mp3",
                        "#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXTINF:2,\ngood.wav\n"
                        "#EXT-X-ENDLIST\n"),
         }) {
        // From the files' own folder, where FFmpeg would find what they name.
        const auto here = fs::current_path();
        fs::current_path(dir.path());
        EXPECT_FALSE(AudioDecoder::open(path)) << path;
        EXPECT_FALSE(DRTrack::trackForAudioFile(path)) << path;
        fs::current_path(here);
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
