#include <libburn.h>
#include <sndfile.h>

#include <cstdlib>
#include <iterator>

#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include "tests/platform/engines/ImageRecorderSupport.h"

namespace kilnware::platform {
namespace {

using test::filesIn;
using test::readFile;

// libburn reads what we wrote: it knows nothing of how we made it.
struct LibburnCue {
    burn::burn_session* session = nullptr;
    unsigned char* packs = nullptr;
    int packCount = 0;

    explicit LibburnCue(const std::string& path) {
        burn::burn_initialize();
        session = burn::burn_session_create();
        // libburn looks for the files a cue sheet names in the working folder, where other
        // programs look beside the sheet: read it from there.
        const auto previous = std::filesystem::current_path();
        std::filesystem::current_path(std::filesystem::path(path).parent_path());
        std::string copy = path;
        accepted = burn::burn_session_by_cue_file(session, copy.data(), 0, nullptr, &packs,
                                                  &packCount, 0) > 0;
        std::filesystem::current_path(previous);
    }
    ~LibburnCue() {
        std::free(packs);
        burn::burn_session_free(session);
    }
    std::vector<int> trackSectors() const {
        int count = 0;
        burn::burn_track** tracks = burn::burn_session_get_tracks(session, &count);
        std::vector<int> sectors;
        for (int i = 0; i < count; ++i) {
            sectors.push_back(burn::burn_track_get_sectors(tracks[i]));
        }
        return sectors;
    }
    bool accepted = false;
};

// The CRC that closes every CD-Text pack: CCITT over the first 16 bytes, inverted.
bool packCrcHolds(const unsigned char* pack) {
    unsigned crc = 0;
    for (int i = 0; i < 16; ++i) {
        crc ^= static_cast<unsigned>(pack[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        }
    }
    crc = ~crc & 0xffff;
    return pack[16] == (crc >> 8) && pack[17] == (crc & 0xff);
}

// The file's samples as CD audio, read by libsndfile, padded with silence to `blocks`.
std::string pcmOf(const std::string& path, std::size_t blocks) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<short> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    std::string pcm(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    pcm.resize(blocks * 2352);
    return pcm;
}

class ImageRecorderAudio : public test::ImageRecorderFixture {
protected:
    std::string one = sources.file("one.wav");
    std::string two = sources.file("two.wav");
    std::string three = sources.file("three.flac");
    std::shared_ptr<DRTrack> trackOne, trackTwo;

    void SetUp() override {
        ImageRecorderFixture::SetUp();
        test::writeCDWav(one, 44100);          // 75 blocks: padded to 4 seconds
        test::writeCDWav(two, 44100 * 5 + 1);  // 376 blocks
        trackOne = DRTrack::trackForAudioFile(one);
        trackTwo = DRTrack::trackForAudioFile(two);
        ASSERT_TRUE(trackOne && trackTwo);
    }
    List layout() const { return List{Value(trackOne), Value(trackTwo)}; }
};

TEST_F(ImageRecorderAudio, BinCueAndCDTextReadBackByLibburn) {
    // A WAV of CD audio is copied as it stands; a FLAC is decoded.
    test::writeAudioFile(three, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 44100 * 3 + 7);
    auto trackThree = DRTrack::trackForAudioFile(three);
    ASSERT_TRUE(trackThree);
    trackTwo->setProperties(Dictionary{{DRPreGapLengthKey, 150}});
    auto block = DRCDTextBlock::cdTextBlockWithLanguage("en", kStringEncodingISOLatin1);
    block->setObject("Caf\xc3\xa9 \xc3\x9cn \xe2\x98\x83", DRCDTextTitleKey, 0);
    block->setObject("Band", DRCDTextPerformerKey, 0);
    block->setObject("One", DRCDTextTitleKey, 1);
    block->setObject("Two \"live\"", DRCDTextTitleKey, 2);
    block->setObject("Writer", DRCDTextSongwriterKey, 2);
    block->setObject("ignored", "VXTrackTitleKey", 1);
    block->setObject("no such track", DRCDTextTitleKey, 7);

    auto last = burn(List{Value(trackOne), Value(trackTwo), Value(trackThree)},
                     Dictionary{{DRCDTextKey, Value(block)}, {DRBurnVerifyDiscKey, true}});
    ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");

    const std::string name = "Caf\xc3\xa9 \xc3\x9cn \xe2\x98\x83";
    EXPECT_EQ(filesIn(out.path()),
              (std::vector<std::string>{name + ".bin", name + ".cdt", name + ".cue"}));
    EXPECT_EQ(recorder->lastImageFiles().front(), out.file(name + ".bin"));

    // The BIN: each track's samples, padded with silence to its blocks.
    const std::string bin = readFile(out.file(name + ".bin"));
    ASSERT_EQ(bin.size(), (300u + 376u + 300u) * 2352u);
    EXPECT_TRUE(bin == pcmOf(one, 300) + pcmOf(two, 376) + pcmOf(three, 300));

    // The cue sheet, as libburn reads it: the files it names found, tracks where INDEX 01 puts
    // them, and the texts.
    const std::string cue = readFile(out.file(name + ".cue"));
    EXPECT_NE(cue.find("  TRACK 02 AUDIO\n    TITLE \"Two 'live'\"\n    SONGWRITER \"Writer\"\n"
                       "    PREGAP 00:02:00\n    INDEX 01 00:04:00\n"),
              std::string::npos)
        << cue;
    // UTF-8 in the cue sheet; ISO 8859-1 in the packs, '?' where it cannot say.
    EXPECT_NE(cue.find("TITLE \"" + name + "\"\nPERFORMER \"Band\"\n"), std::string::npos);
    LibburnCue sheet(out.file(name + ".cue"));
    ASSERT_TRUE(sheet.accepted) << cue;
    EXPECT_EQ(sheet.trackSectors(), (std::vector<int>{300, 376, 300}));

    // The CD-Text packs, as the cue sheet's CDTEXTFILE hands them over and as libburn decodes them.
    ASSERT_GT(sheet.packCount, 0);
    const std::string cdt = readFile(out.file(name + ".cdt"));
    ASSERT_EQ(cdt.size(), 4u + static_cast<std::size_t>(sheet.packCount) * 18);
    EXPECT_EQ(cdt.substr(4), std::string(reinterpret_cast<char*>(sheet.packs), cdt.size() - 4));
    for (int i = 0; i < sheet.packCount; ++i) {
        EXPECT_TRUE(packCrcHolds(sheet.packs + 18 * i)) << "pack " << i;
    }
    char* text = nullptr;
    int charCode = -1;
    ASSERT_GT(
        burn::burn_make_input_sheet_v07t(sheet.packs, sheet.packCount, 0, 0, &text, &charCode, 0),
        0);
    const std::string decoded = text;
    std::free(text);
    EXPECT_EQ(charCode, 0x00);  // ISO 8859-1
    for (const char* expectedText : {"Caf\xe9 \xdcn ?", "Band", "One", "Two \"live\"", "Writer"}) {
        EXPECT_NE(decoded.find(expectedText), std::string::npos) << expectedText << "\n" << decoded;
    }
    EXPECT_EQ(decoded.find("ignored"), std::string::npos);
}

// The burns above check the bytes that a WAV of CD audio is copied from. Cut off, its header
// promises samples that are not there: the copy takes what is there, as decoding does.
TEST_F(ImageRecorderAudio, OnlyAWavOfCDAudioWithAllItsSamplesIsCopiedAsItStands) {
    std::string bytes = readFile(two);
    bytes.resize(bytes.size() - 1000);
    test::writeFile(sources.file("cut.wav"), bytes);
    auto cut = DRTrack::trackForAudioFile(sources.file("cut.wav"));
    ASSERT_TRUE(cut && cut->fileExtent());
    EXPECT_EQ(cut->fileExtent()->length, (44100u * 5 + 1) * 4 - 1000);
    EXPECT_EQ(cut->estimateLength(), 375u);

    const std::tuple<int, int, int> others[] = {{SF_FORMAT_PCM_16, 48000, 2},
                                                {SF_FORMAT_PCM_16, 44100, 1},
                                                {SF_FORMAT_PCM_24, 44100, 2},
                                                {SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, 44100, 2}};
    for (const auto& [format, rate, channels] : others) {
        const std::string path = sources.file("other.wav");
        test::writeAudioFile(path, SF_FORMAT_WAV | format, rate, channels, 4800);
        auto track = DRTrack::trackForAudioFile(path);
        ASSERT_TRUE(track) << format << " " << rate << " " << channels;
        EXPECT_FALSE(track->fileExtent()) << format << " " << rate << " " << channels;
    }
}

// Named after the disc, numbered past names that exist. The long WAV is copied without
// verification: its samples start off the file system's blocks, past the header, and take more
// than one copy step.
TEST_F(ImageRecorderAudio, WithoutCDTextNamesTheDiscAndNumbersNamesThatExist) {
    const std::string longWav = sources.file("long.wav");
    test::writeCDWav(longWav, 44100 * 20 + 3);
    auto longTrack = DRTrack::trackForAudioFile(longWav);
    ASSERT_TRUE(longTrack && longTrack->fileExtent());
    test::writeFile(out.file("Kilnware Disc 2.cue"), "someone else's");
    for (int round = 0; round < 2; ++round) {
        auto last = burn(List{Value(trackOne), Value(longTrack)});
        ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
        ejectAndWait();
    }
    EXPECT_EQ(filesIn(out.path()),
              (std::vector<std::string>{"Kilnware Disc 2.cue", "Kilnware Disc 3.bin",
                                        "Kilnware Disc 3.cue", "Kilnware Disc.bin",
                                        "Kilnware Disc.cue"}));
    EXPECT_EQ(readFile(out.file("Kilnware Disc 2.cue")), "someone else's");
    const std::string cue = readFile(out.file("Kilnware Disc 3.cue"));
    EXPECT_EQ(cue,
              "FILE \"Kilnware Disc 3.bin\" BINARY\n"
              "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
              "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n");
    LibburnCue sheet(out.file("Kilnware Disc 3.cue"));
    EXPECT_TRUE(sheet.accepted);
    EXPECT_EQ(sheet.packCount, 0);
    EXPECT_TRUE(readFile(out.file("Kilnware Disc 3.bin")) ==
                pcmOf(one, 300) + pcmOf(longWav, longTrack->estimateLength()));
}

TEST_F(ImageRecorderAudio, ProgressCountsBlocksAtTheRequestedSpeed) {
    // 4x on the test's clock: the 676 blocks take 2.25 seconds of it.
    auto last = burn(layout(), Dictionary{{DRBurnRequestedSpeedKey, 4 * 176.4}});
    ASSERT_EQ(state(last), DRStatusStateDone);
    std::vector<Dictionary> writing;
    std::copy_if(statuses.begin(), statuses.end(), std::back_inserter(writing),
                 [](const Dictionary& status) { return state(status) == DRStatusStateTrackWrite; });
    // Ten a second, not one a block.
    EXPECT_NEAR(static_cast<double>(writing.size()), 22.0, 1.0);
    std::uint64_t previous = 0;
    for (const auto& status : writing) {
        const std::uint64_t written = status[DRStatusBlocksWrittenKey].uint64Value();
        EXPECT_GE(written, previous);
        EXPECT_LE(written, 676u);
        EXPECT_EQ(status[DRStatusBlocksToWriteKey].uint64Value(), 676u);
        EXPECT_NEAR(status[DRStatusPercentCompleteKey].doubleValue(), written / 676.0, 1e-9);
        previous = written;
    }
    EXPECT_EQ(writing.back()[DRStatusCurrentTrackKey].uint64Value(), 2u);
    EXPECT_EQ(writing.back()[DRStatusTotalTracksKey].uint64Value(), 2u);
    const Dictionary& middle = writing[writing.size() / 2];
    EXPECT_NEAR(middle[DRStatusCurrentSpeedKey].doubleValue(), 4 * 176'400.0, 0.05 * 4 * 176'400);
    EXPECT_NEAR(middle[DRStatusCurrentSpeedMultipleKey].doubleValue(), 4.0, 0.2);
}

// While it burns, the recorder turns away an eject, a change of medium and a second burn; the
// burn cancelled then leaves nothing.
TEST_F(ImageRecorderAudio, BusyWhileItBurnsAndACancelledBurnLeavesNothing) {
    clock->hold(true);  // the paced burn waits in its first pause until it is cancelled
    auto first = DRBurn::burnForDevice(recorder);
    first->setProperties(Dictionary{{DRBurnRequestedSpeedKey, 176.4}});
    Dictionary last;
    first->setStatusHandler([&](const Dictionary& status) { last = status; });
    first->writeLayout(layout());
    EXPECT_TRUE(recorder->status()[DRDeviceIsBusyKey].boolValue());
    EXPECT_FALSE(recorder->ejectMedia());
    EXPECT_FALSE(recorder->setMedium(ImageRecorder::Medium::CDRW));
    EXPECT_EQ(errorText(burn(layout())), "The image recorder is busy.");
    first->abort();
    clock->hold(false);
    ASSERT_TRUE(test::runUntil([&] { return state(last) == DRStatusStateFailed; }));
    EXPECT_EQ(errorText(last), DROperation::kCancelledText);
    EXPECT_TRUE(filesIn(out.path()).empty());
    EXPECT_TRUE(lookup(media(), DRDeviceMediaIsBlankKey).boolValue());
    EXPECT_FALSE(recorder->status()[DRDeviceIsBusyKey].boolValue());
}

}  // namespace
}  // namespace kilnware::platform
