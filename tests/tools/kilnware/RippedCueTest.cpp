// Cue sheets as rippers write them, burned by the kilnware command to BIN/CUE and read back by
// cdrdao: the audio files made by the real encoders, the sheets in the styles of EAC, XLD and
// cdrdao.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/CdrdaoToc.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr std::uint64_t kSector = 2352;

// One disc in every style: hidden audio before track 1 (its INDEX 00 at 0, INDEX 01 at 150), a
// gap of audio before track 2 (600 and 750) and none before track 3 (1100); 1500 sectors.
class RippedCue : public ::testing::Test {
protected:
    TempDir dir;
    std::string album = dir.file("album.wav");
    std::string pcm;  // the album's samples

    void SetUp() override {
        run("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                       "anoisesrc=seed=5:sample_rate=44100:amplitude=0.4:duration=20", "-ac", "2",
                       "-c:a", "pcm_s16le", album});
        run("ffmpeg",
            {"-nostdin", "-v", "error", "-i", album, "-f", "s16le", dir.file("album.pcm")});
        pcm = test::readFile(dir.file("album.pcm"));
        ASSERT_EQ(pcm.size(), 1500 * kSector);
    }

    void run(const std::string& program, const std::vector<std::string>& arguments) {
        const auto ran = test::runProgram(program, arguments);
        ASSERT_EQ(ran.status, 0) << program << ": " << ran.err;
    }

    // Sectors [from, to) of the album as `name`: WAV and AIFF by ffmpeg, FLAC by flac, raw PCM.
    void cut(const std::string& name, std::uint64_t from, std::uint64_t to) {
        const std::string wav = dir.file("cut-" + name + ".wav");
        run("ffmpeg", {"-nostdin", "-v", "error", "-i", album, "-af",
                       "atrim=start_sample=" + std::to_string(from * 588) +
                           ":end_sample=" + std::to_string(to * 588),
                       "-c:a", "pcm_s16le", "-y", wav});
        if (name.ends_with(".flac")) {
            run("flac", {"--silent", "-f", "-o", dir.file(name), wav});
        } else if (name.ends_with(".bin")) {
            test::writeFile(dir.file(name), pcm.substr(from * kSector, (to - from) * kSector));
        } else {
            run("ffmpeg", {"-nostdin", "-v", "error", "-i", wav, "-y", dir.file(name)});
        }
    }

    test::RunResult burn(const std::string& sheet, const std::string& folder) {
        test::writeFile(dir.file("disc.cue"), sheet);
        return test::runProgram(KILNWARE_CLI,
                                {"image", dir.file("disc.cue"), "--yes", "--image-dir", folder});
    }
};

// Every sample of every file is burned, each track's gap where the sheet put it, whatever the
// layout of the files; cdrdao reads the written sheet as the ripper's.
TEST_F(RippedCue, EveryLayoutBurnsTheWholeDiscWithItsGaps) {
    struct Case {
        const char* style;
        std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> files;
        std::string sheet;
    };
    const Case cases[] = {
        // EAC's image and cue: one FLAC, a byte-order mark, CRLF, REM lines, the disc's codes.
        {"EAC image",
         {{"album.flac", 0, 1500}},
         "\xef\xbb\xbfREM GENRE Ambient\r\nREM COMMENT \"ExactAudioCopy v1.6\"\r\n"
         "CATALOG 0123456789012\r\nPERFORMER \"Band\"\r\nTITLE \"Album\"\r\n"
         "FILE \"album.flac\" WAVE\r\n  TRACK 01 AUDIO\r\n    TITLE \"One\"\r\n"
         "    INDEX 00 00:00:00\r\n    INDEX 01 00:02:00\r\n  TRACK 02 AUDIO\r\n"
         "    ISRC USABC1234567\r\n    INDEX 00 00:08:00\r\n    INDEX 01 00:10:00\r\n"
         "  TRACK 03 AUDIO\r\n    FLAGS DCP PRE\r\n    INDEX 01 00:14:50\r\n"},
        // EAC's default: a file per track, each gap at the end of the file before.
        {"EAC, gaps appended",
         {{"01.wav", 0, 750}, {"02.wav", 750, 1100}, {"03.wav", 1100, 1500}},
         "FILE \"01.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
         "  TRACK 02 AUDIO\n    INDEX 00 00:08:00\nFILE \"02.wav\" WAVE\n"
         "    INDEX 01 00:00:00\nFILE \"03.wav\" WAVE\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n"},
        // XLD's and foobar2000's: each gap at the start of its track's file; lower-case words.
        {"XLD, gaps prepended",
         {{"01.flac", 0, 600}, {"02.aiff", 600, 1100}, {"03.flac", 1100, 1500}},
         "file \"01.flac\" wave\n  track 01 audio\n    index 00 00:00:00\n    index 01 00:02:00\n"
         "file \"02.aiff\" aiff\n  track 02 audio\n    index 00 00:00:00\n    index 01 00:02:00\n"
         "file \"03.flac\" flac\n  track 03 audio\n    index 01 00:00:00\n"},
        // cdrdao's toc2cue: one BIN of raw samples.
        {"cdrdao",
         {{"album.bin", 0, 1500}},
         "FILE \"album.bin\" BINARY\n\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n\n"
         "TRACK 02 AUDIO\nINDEX 00 00:08:00\nINDEX 01 00:10:00\n\nTRACK 03 AUDIO\n"
         "INDEX 01 00:14:50\n"},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        for (const auto& [name, from, to] : c.files) {
            cut(name, from, to);
        }
        const std::string out = dir.file("out" + std::to_string(++number));
        const auto burned = burn(c.sheet, out);
        ASSERT_EQ(burned.status, 0) << burned.out << burned.err;
        const std::string name =
            c.sheet.find("TITLE \"Album\"") != std::string::npos ? "Album" : "Kilnware Disc";
        EXPECT_TRUE(test::readFile(out + "/" + name + ".bin") == pcm);
        const test::Toc toc = test::cdrdaoToc(out + "/" + name + ".cue");
        ASSERT_EQ(toc.tracks.size(), 3u) << toc.said;
        const std::uint64_t gaps[] = {150, 150, 0}, starts[] = {150, 750, 1100};
        for (std::size_t t = 0; t < 3; ++t) {
            EXPECT_EQ(toc.tracks[t].preGap, gaps[t]) << t << "\n" << toc.said;
            EXPECT_EQ(toc.tracks[t].start, starts[t]) << t << "\n" << toc.said;
        }
        EXPECT_EQ(toc.tracks[2].end, 1500u) << toc.said;
        if (number == 1) {
            EXPECT_EQ(toc.catalog, "0123456789012") << toc.said;
            EXPECT_EQ(toc.tracks[1].isrc, "US ABC 12 34567") << toc.said;
            EXPECT_TRUE(toc.tracks[2].copyPermitted && toc.tracks[2].preEmphasis) << toc.said;
            EXPECT_FALSE(toc.tracks[1].copyPermitted || toc.tracks[1].preEmphasis) << toc.said;
        }
    }
}

// An MP3 is decoded as an audio track is: its length to the sample, padded to whole sectors.
TEST_F(RippedCue, AnMp3IsDecodedLikeAnAudioTrack) {
    run("lame", {"--quiet", "-b", "192", album, dir.file("album.mp3")});
    const auto burned =
        burn("FILE \"album.mp3\" MP3\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", dir.file("out"));
    ASSERT_EQ(burned.status, 0) << burned.err;
    const test::Toc toc = test::cdrdaoToc(dir.file("out/Kilnware Disc.cue"));
    ASSERT_EQ(toc.tracks.size(), 1u) << toc.said;
    EXPECT_EQ(toc.tracks[0].end, 1500u) << toc.said;  // LAME's delay and padding left out
}

// Whether the raw sector of mode 1 at block `lba` holds together: its sync, its header (the
// address in BCD minutes, seconds and frames, 150 blocks on, and the mode), its EDC, and every
// code word of its P and Q parity (each sums to zero, and to zero weighted by the powers of
// alpha, in GF(2^8)).
bool sectorHoldsTogether(const std::uint8_t* sector, std::uint64_t lba) {
    const std::uint8_t sync[12] = {0,    0xff, 0xff, 0xff, 0xff, 0xff,
                                   0xff, 0xff, 0xff, 0xff, 0xff, 0};
    const auto bcd = [](std::uint64_t value) {
        return static_cast<std::uint8_t>(value / 10 * 16 + value % 10);
    };
    const std::uint64_t address = lba + 150;
    const std::uint8_t header[4] = {bcd(address / 4500), bcd(address / 75 % 60), bcd(address % 75),
                                    1};
    if (std::memcmp(sector, sync, 12) != 0 || std::memcmp(sector + 12, header, 4) != 0) {
        return false;
    }
    std::uint32_t crc = 0;
    for (int i = 0; i < 2068; ++i) {  // over the EDC too: nothing is left
        crc ^= sector[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? 0xd8018001u : 0);
        }
    }
    auto times = [](std::uint8_t a, int alphaPower) {
        for (int i = 0; i < alphaPower; ++i) {
            a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1d : 0));
        }
        return a;
    };
    // Byte k of code word j: P words run down the columns, Q words along the diagonals.
    auto holds = [&](int words, int length, auto at) {
        for (int j = 0; j < words; ++j) {
            std::uint8_t sum = 0, weighted = 0;
            for (int k = 0; k < length; ++k) {
                sum ^= sector[12 + at(j, k)];
                weighted ^= times(sector[12 + at(j, k)], length - 1 - k);
            }
            if (sum != 0 || weighted != 0) {
                return false;
            }
        }
        return true;
    };
    return crc == 0 && holds(86, 26, [](int j, int k) { return j + 86 * k; }) &&
           holds(52, 45, [](int j, int k) {
               return k < 43 ? ((j >> 1) * 86 + (j & 1) + 88 * k) % 2236 : 2236 + j + 52 * (k - 43);
           });
}

// A disc of data and audio, as a sheet of a disc image and a WAV: a BIN of raw sectors of mode 1
// and the audio after the gap a change of mode asks, which cdrdao reads and bchunk splits into
// the image and the audio again.
TEST_F(RippedCue, DataAndAudioBurnToOneBinOfRawSectors) {
    fs::create_directories(dir.file("files"));
    test::writeFile(dir.file("files/readme.txt"), std::string(300'000, 'r'));
    run("genisoimage", {"-quiet", "-r", "-o", dir.file("data.iso"), dir.file("files")});
    const std::string iso = test::readFile(dir.file("data.iso"));
    cut("02.wav", 0, 400);
    const auto burned = burn(
        "FILE \"data.iso\" BINARY\n  TRACK 01 MODE1/2048\n"
        "    INDEX 01 00:00:00\nFILE \"02.wav\" WAVE\n  TRACK 02 AUDIO\n"
        "    INDEX 01 00:00:00\n",
        dir.file("out"));
    ASSERT_EQ(burned.status, 0) << burned.err;
    const std::string bin = dir.file("out/Kilnware Disc.bin");
    const test::Toc toc = test::cdrdaoToc(dir.file("out/Kilnware Disc.cue"));
    ASSERT_EQ(toc.tracks.size(), 2u) << toc.said;
    EXPECT_EQ(toc.tracks[0].mode, "MODE1_RAW") << toc.said;
    EXPECT_EQ(toc.tracks[1].mode, "AUDIO") << toc.said;
    EXPECT_EQ(toc.tracks[1].preGap, 150u) << toc.said;
    const std::string raw = test::readFile(bin);
    const std::uint64_t dataBlocks = std::max<std::uint64_t>(iso.size() / 2048, 300);
    ASSERT_EQ(raw.size(), (dataBlocks + 400) * kSector);
    for (std::uint64_t s = 0; s < dataBlocks; ++s) {
        ASSERT_TRUE(
            sectorHoldsTogether(reinterpret_cast<const std::uint8_t*>(&raw[s * kSector]), s))
            << "sector " << s;
    }
    run("env",
        {"-C", dir.file("out"), "bchunk", "-w", bin, dir.file("out/Kilnware Disc.cue"), "split"});
    const std::string data = test::readFile(dir.file("out/split01.iso"));
    EXPECT_TRUE(data.substr(0, iso.size()) == iso);
    EXPECT_EQ(data.find_first_not_of('\0', iso.size()), std::string::npos);
    EXPECT_TRUE(test::readFile(dir.file("out/split02.wav")).substr(44) ==
                pcm.substr(0, 400 * kSector));
    // The written sheet, its data track of raw sectors (MODE1/2352), burns to the same BIN again:
    // each sector's user data taken from behind its 16 bytes of sync and header.
    const auto again = test::runProgram(KILNWARE_CLI, {"image", dir.file("out/Kilnware Disc.cue"),
                                                       "--yes", "--image-dir", dir.file("again")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(test::readFile(dir.file("again/Kilnware Disc.bin")) == raw);
}

// What a CD cannot carry, and sheets that do not hold together, are refused with the reason.
TEST_F(RippedCue, WhatCannotBeCarriedIsRefusedWithTheReason) {
    cut("album.bin", 0, 1500);
    const std::string head = "FILE \"album.bin\" BINARY\n  TRACK 01 AUDIO\n";
    const std::pair<std::string, std::string> cases[] = {
        {head + "    FLAGS SCMS\n    INDEX 01 00:00:00\n", "the flag SCMS cannot be carried"},
        {head + "    ISRC US-ABC-12-34567\n    INDEX 01 00:00:00\n", "12 characters"},
        {"CATALOG 12345\n" + head + "    INDEX 01 00:00:00\n", "13 digits"},
        {"FILE \"album.bin\" MOTOROLA\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", "MOTOROLA"},
        {head + "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:30:00\n",
         "starts past the end of the file"},
        {head + "    INDEX 01 00:10:00\n  TRACK 02 AUDIO\n    INDEX 01 00:05:00\n",
         "index before the one ahead of it"},
        // A second has 75 frames and a minute 60 seconds.
        {head + "    INDEX 01 00:00:75\n", "a time mm:ss:ff"},
        {head + "    INDEX 01 00:60:00\n", "a time mm:ss:ff"},
        {head + "    PREGAP 00:02:75\n    INDEX 01 00:00:00\n", "a time mm:ss:ff"},
        {"FILE \"album.wav\" WAVE\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n",
         "a data track in an audio file"},
    };
    for (const auto& [sheet, reason] : cases) {
        SCOPED_TRACE(sheet);
        const auto burned = burn(sheet, dir.file("out"));
        EXPECT_EQ(burned.status, 3);  // refused after the command line was read
        EXPECT_NE(burned.err.find(reason), std::string::npos) << burned.err;
    }
    EXPECT_FALSE(fs::exists(dir.file("out")) && !fs::is_empty(dir.file("out")));
}

}  // namespace
}  // namespace kilnware
