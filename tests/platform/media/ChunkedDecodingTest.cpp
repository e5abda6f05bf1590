#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/media/AudioDecoder.h"
#include "platform/media/ChunkedDecoding.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::platform::media {
namespace {

// Seven seconds of noise as ffmpeg writes FLAC: frames of 4,608 samples, so that they straddle
// the chunks' borders (three chunks).
class ChunkedDecodingTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto made =
            test::runProgram("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                        "anoisesrc=color=pink:sample_rate=44100:duration=7:seed=3",
                                        "-ac", "2", "-sample_fmt", "s16", "-c:a", "flac", flac});
        ASSERT_EQ(made.status, 0) << made.err;
        expected =
            test::runProgram("ffmpeg", {"-nostdin", "-v", "error", "-i", flac, "-f", "s16le", "-"})
                .out;
        ASSERT_GT(expected.size(), ChunkedDecoding::kChunkFrames * 2 * 4);
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
    const std::string flac = dir.file("noise.flac");
    std::string expected;
};

TEST_F(ChunkedDecodingTest, GivesTheSamplesInTheirOrderAcrossTheChunks) {
    auto decoder = AudioDecoder::open(flac);
    ASSERT_TRUE(decoder);
    ASSERT_EQ(decoder->frameCount() * 4, expected.size());
    for (int pass = 0; pass < 2; ++pass) {  // and again after a rewind midway
        const std::string stream = decodeAll(*decoder);
        EXPECT_EQ(decoder->error(), "");
        ASSERT_EQ(stream.size(), decoder->blockCount() * AudioDecoder::kBytesPerBlock);
        EXPECT_TRUE(stream.starts_with(expected)) << "the chunks come apart";
        std::array<std::byte, 4096> some{};
        ASSERT_TRUE(decoder->rewind());
        EXPECT_EQ(decoder->read(some), some.size());
        ASSERT_TRUE(decoder->rewind());
    }
}

TEST_F(ChunkedDecodingTest, DamageInALaterChunkEndsTheStreamWhereItLies) {
    std::string damaged = test::readFile(flac);
    damaged[damaged.size() * 93 / 100] ^= 0x20;  // about 6.5 s in, in the third chunk
    const std::string path = dir.file("damaged.flac");
    test::writeFile(path, damaged);
    auto decoder = AudioDecoder::open(path);
    ASSERT_TRUE(decoder);
    const std::string stream = decodeAll(*decoder);
    EXPECT_TRUE(decoder->error().starts_with(path + " cannot be decoded past 0:06: "))
        << decoder->error();
    ASSERT_GT(stream.size(), ChunkedDecoding::kChunkFrames * 2 * 4);
    EXPECT_TRUE(expected.starts_with(stream));
}

}  // namespace
}  // namespace kilnware::platform::media
