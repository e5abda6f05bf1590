#include <gtest/gtest.h>

#include <libburn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/Engine.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

using namespace platform;

using test::readFile;

// The whole road of an audio CD: the library's burn session, the panels, and the image recorder
// as the engine, ending in files that libburn can burn.
TEST(ImageRecorderAudioCD, BurnToAudioCDMakesBinCueAndCDText) {
    test::TempDir sources;
    test::TempDir out;
    test::ScopedAnswerer answerer;
    test::LogCapture log;
    test::NoticeLog notices{{BurnSucceed, BurnFailed}};
    auto engine = std::make_shared<ImageRecorderEngine>(out.path());
    Engine::install(engine);

    test::writeCDWav(sources.file("intro.wav"), 44100 * 5);  // 375 blocks
    test::writeCDWav(sources.file("song.wav"), 44100 * 6);   // 450 blocks
    const std::vector<std::string> paths{sources.file("intro.wav"), sources.file("song.wav")};
    auto burn = std::make_shared<VXBurn>();

    // While the user looks at the setup panel, the host puts CD-Text on the panel's burn object.
    answerer->confirmWith(ImageRecorder::kDisplayName, [&](DRSetupPanel& panel) {
        auto burnObject = static_cast<DRBurnSetupPanel&>(panel).burnObject();
        List text{Value(Dictionary{{VXDiscCDTextEnabled, true},
                                   {DRCDTextTitleKey, "Road Trip"},
                                   {DRCDTextPerformerKey, "The Band"}}),
                  Value(Dictionary{{DRCDTextTitleKey, "Intro"}}),
                  Value(Dictionary{{DRCDTextTitleKey, "Song"}, {DRCDTextPerformerKey, "Guest"}})};
        burn->setBurnProperties(burnObject, &text);
    });
    burn->burnToAudioCD(paths, nullptr);
    ASSERT_TRUE(test::runUntil([&] { return notices.entries().size() == 1; }));
    EXPECT_EQ(notices.count(BurnSucceed), 1u) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(answerer->setupShowings().at(0).chosen, ImageRecorder::kDisplayName);
    EXPECT_FALSE(answerer->progressShowings().at(0).updates.empty());

    EXPECT_EQ(std::filesystem::file_size(out.file("Road Trip.bin")), (375u + 450u) * 2352u);
    const std::string cue = readFile(out.file("Road Trip.cue"));
    EXPECT_EQ(cue,
              "CDTEXTFILE \"Road Trip.cdt\"\n"
              "TITLE \"Road Trip\"\n"
              "PERFORMER \"The Band\"\n"
              "FILE \"Road Trip.bin\" BINARY\n"
              "  TRACK 01 AUDIO\n"
              "    TITLE \"Intro\"\n"
              "    INDEX 01 00:00:00\n"
              "  TRACK 02 AUDIO\n"
              "    TITLE \"Song\"\n"
              "    PERFORMER \"Guest\"\n"
              "    INDEX 01 00:05:00\n");

    // libburn takes the CD-Text packs for burning as they are.
    burn::burn_initialize();
    unsigned char* packs = nullptr;
    int count = 0;
    std::string cdt = out.file("Road Trip.cdt");
    ASSERT_GT(burn::burn_cdtext_from_packfile(cdt.data(), &packs, &count, 0), 0);
    char* sheet = nullptr;
    int charCode = -1;
    ASSERT_GT(burn::burn_make_input_sheet_v07t(packs, count, 0, 0, &sheet, &charCode, 0), 0);
    const std::string decoded = sheet;
    std::free(sheet);
    std::free(packs);
    for (const char* text : {"Road Trip", "The Band", "Intro", "Song", "Guest"}) {
        EXPECT_NE(decoded.find(text), std::string::npos) << text << "\n" << decoded;
    }

    Engine::stopAll();
    engine->recorder()->waitForOperations();
    RunLoop::current()->runUntilIdle();
    EXPECT_TRUE(DRDevice::devices().empty());
}

}  // namespace
}  // namespace kilnware
