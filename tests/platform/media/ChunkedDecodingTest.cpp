#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/media/AudioDecoder.h"
#include "platform/media/ChunkedDecoding.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::platform::media {
namespace {

constexpr std::size_t kBytesPerFrame = 4;

// Fourteen seconds (three chunks) of noise, as ffmpeg writes FLAC (frames of 4,608 samples, which
// straddle the chunks' borders) and MP3 (whose frames lean on the ones before, the further the
// fewer bits a frame has).
struct Kind {
    const char* name;
    std::vector<std::string> codec;
};
const Kind kKinds[] = {{"noise.flac", {"-sample_fmt", "s16", "-c:a", "flac"}},
                       {"noise.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}},
                       {"low.mp3", {"-c:a", "libmp3lame", "-b:a", "32k"}},
                       {"vbr.mp3", {"-c:a", "libmp3lame", "-q:a", "9"}}};

class ChunkedDecodingTest : public ::testing::Test {
protected:
    std::string make(const Kind& kind) {
        const std::string path = dir.file(kind.name);
        std::vector<std::string> arguments{
            "-nostdin",
            "-v",
            "error",
            "-f",
            "lavfi",
            "-i",
            "anoisesrc=color=pink:sample_rate=44100:duration=14:seed=3",
            "-ac",
            "2"};
        arguments.insert(arguments.end(), kind.codec.begin(), kind.codec.end());
        arguments.push_back(path);
        const auto made = test::runProgram("ffmpeg", arguments);
        EXPECT_EQ(made.status, 0) << made.err;
        return path;
    }

    // ffmpeg's own decoding of `path`, rounded to 16 bits as the decoder rounds.
    static std::string ffmpegDecoding(const std::string& path) {
        const std::string floats =
            test::runProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-f", "f32le", "-"})
                .out;
        std::string samples(floats.size() / 2, '\0');
        for (std::size_t i = 0; i + 4 <= floats.size(); i += 4) {
            float sample = 0;
            std::memcpy(&sample, floats.data() + i, 4);
            const float scaled = std::clamp(sample * 32768.0f, -32768.0f, 32767.0f);
            const auto value = static_cast<std::int16_t>(std::floor(scaled + 0.5f));
            std::memcpy(samples.data() + i / 2, &value, 2);
        }
        return samples;
    }

    static std::string decodeAll(AudioDecoder& decoder) {
        std::string all;
        std::vector<std::byte> buffer(50'000);
        while (const std::size_t n = decoder.read(buffer)) {
            all.append(reinterpret_cast<const char*>(buffer.data()), n);
        }
        return all;
    }

    test::TempDir dir;
};

TEST_F(ChunkedDecodingTest, GivesTheSamplesAsOnePassWouldAcrossTheChunks) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        const std::string path = make(kind);
        const std::string expected = ffmpegDecoding(path);
        ASSERT_GT(expected.size(), ChunkedDecoding::kChunkFrames * 2 * kBytesPerFrame);
        auto decoder = AudioDecoder::open(path);
        ASSERT_TRUE(decoder);
        ASSERT_EQ(decoder->frameCount() * kBytesPerFrame, expected.size());
        for (int pass = 0; pass < 2; ++pass) {  // and again after a rewind midway
            const std::string stream = decodeAll(*decoder);
            EXPECT_EQ(decoder->error(), "");
            ASSERT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
            const auto apart = std::mismatch(expected.begin(), expected.end(), stream.begin());
            EXPECT_EQ(apart.first, expected.end())
                << "apart at frame " << (apart.first - expected.begin()) / kBytesPerFrame;
            std::array<std::byte, 4096> some{};
            ASSERT_TRUE(decoder->rewind());
            EXPECT_EQ(decoder->read(some), some.size());
            ASSERT_TRUE(decoder->rewind());
        }
    }
}

TEST_F(ChunkedDecodingTest, DamageInALaterChunkEndsTheStreamWhereItLies) {
    const std::string flac = make(kKinds[0]);
    const std::string expected = ffmpegDecoding(flac);
    std::string damaged = test::readFile(flac);
    damaged[damaged.size() * 93 / 100] ^= 0x20;  // about 13 s in, in the third chunk
    const std::string path = dir.file("damaged.flac");
    test::writeFile(path, damaged);
    auto decoder = AudioDecoder::open(path);
    ASSERT_TRUE(decoder);
    const std::string stream = decodeAll(*decoder);
    EXPECT_TRUE(decoder->error().starts_with(path + " cannot be decoded past 0:1"))
        << decoder->error();
    ASSERT_GT(stream.size(), ChunkedDecoding::kChunkFrames * 2 * kBytesPerFrame);
    EXPECT_TRUE(expected.starts_with(stream));
}

}  // namespace
}  // namespace kilnware::platform::media
