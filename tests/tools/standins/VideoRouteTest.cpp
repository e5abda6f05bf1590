// The video DVD routes of the library, end to end with the real authoring program behind the
// stand-ins, burned on a scriptable CD-R recorder.
#include <gtest/gtest.h>

#include <dvdread/dvd_reader.h>
#include <dvdread/ifo_read.h>

#include <filesystem>

#include <kilnware/Kilnware.h>
#include "tests/support/BurnFixture.h"
#include "tests/tools/standins/StandInRun.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;
namespace standin = kilnware::test;

class VideoRoute : public test::BurnTest {
protected:
    void SetUp() override {
        StandIns::registerStandIn("/Users/user/Desktop/dvdauthor", KILNWARE_DVDAUTHOR_STANDIN);
        StandIns::registerStandIn("/usr/bin/hdiutil", KILNWARE_HDIUTIL_STANDIN);
    }
    // The image as the recorder was given it, saved before the completion removes the original.
    std::string imageOfTheBurn() {
        const std::string copy = dir.file("burned.iso");
        answerer->confirmWith("Scripted CD-R", [&](DRSetupPanel&) {
            std::filesystem::copy_file(burn->isoPath, copy);
        });
        return copy;
    }
};

TEST_F(VideoRoute, PalClipsBecomeAPlayableImageAndTheWorkFilesGo) {
    const std::string first = dir.file("trip.mpg"), second = dir.file("more.mpg");
    standin::makeClip(first, "pal-dvd");
    standin::makeClip(second, "pal-dvd");
    const std::string image = imageOfTheBurn();
    burn->BurnToVideoDVD({first, second}, "Holiday");
    ASSERT_EQ(burn->trackArray.size(), 1u) << testing::PrintToString(log.lines());
    ASSERT_TRUE(runUntil([&] { return notices.entries().size() == 1 && !burn->burning; }));
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);

    dvd_reader_t* dvd = DVDOpen(image.c_str());
    ASSERT_TRUE(dvd);
    ifo_handle_t* vmg = ifoOpen(dvd, 0);
    ASSERT_TRUE(vmg);
    EXPECT_EQ(vmg->vmgi_mat->vmg_nr_of_title_sets, 1);
    ifoClose(vmg);
    dvd_file_t* title = DVDOpenFile(dvd, 1, DVD_READ_TITLE_VOBS);
    ASSERT_TRUE(title);
    std::vector<unsigned char> block(2048);
    EXPECT_EQ(DVDReadBlocks(title, 0, 1, block.data()), 1);
    DVDCloseFile(title);
    DVDClose(dvd);

    auto udf = standin::runProgram(standin::requiredProgram("udfinfo"), {image});
    EXPECT_NE(udf.out.find("udfrev=1.02"), std::string::npos) << udf.out;
    EXPECT_NE(udf.out.find("label=Holiday"), std::string::npos) << udf.out;
    auto joliet =
        standin::runProgram(standin::requiredProgram("isoinfo"), {"-J", "-f", "-i", image});
    EXPECT_NE(joliet.out.find("/VIDEO_TS"), std::string::npos) << joliet.out;

    EXPECT_FALSE(standin::pathExists(dir.file("trip.iso")));
    EXPECT_FALSE(standin::pathExists(dir.file("trip")));
    EXPECT_FALSE(standin::pathExists(dir.file("trip.xml")));
    EXPECT_TRUE(standin::pathExists(first));
    EXPECT_TRUE(standin::pathExists(second));
}

TEST_F(VideoRoute, NtscClipAndThePreparedFolderRoute) {
    const std::string clip = dir.file("ntsc.mpg");
    standin::makeClip(clip, "ntsc-dvd");
    answerer->cancel();  // keeps the authored folder for the second route
    burn->BurnToVideoDVD({clip}, std::nullopt);
    ASSERT_TRUE(standin::pathExists(dir.file("ntsc/VIDEO_TS/VIDEO_TS.IFO")));

    const std::string image = imageOfTheBurn();
    burn->BurnTsFolderToDVD(dir.file("ntsc"), "Folder");
    ASSERT_TRUE(runUntil([&] { return notices.entries().size() == 1 && !burn->burning; }));
    auto udf = standin::runProgram(standin::requiredProgram("udfinfo"), {image});
    EXPECT_NE(udf.out.find("label=Folder"), std::string::npos) << udf.out;
    EXPECT_TRUE(standin::pathExists(dir.file("ntsc/VIDEO_TS")));  // the host's folder stays
}

TEST_F(VideoRoute, MixedFormatsAndCommandNamesGiveNoImage) {
    const std::string pal = dir.file("pal.mpg"), ntsc = dir.file("ntsc.mpg");
    standin::makeClip(pal, "pal-dvd");
    standin::makeClip(ntsc, "ntsc-dvd");
    burn->BurnToVideoDVD({pal, ntsc}, "Mixed");
    // The tool says why in the log, in its own words; the route ends without an image.
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_NE(log.lines()[0].find("one disc takes one television standard"), std::string::npos);
    EXPECT_EQ(log.lines()[1], "burn is nil");
    EXPECT_TRUE(burn->trackArray.empty());
    EXPECT_FALSE(standin::pathExists(dir.file("pal.iso")));

    const std::string marker = dir.file("MARKER");
    // Run through a shell, this name would touch the marker.
    const std::string command = dir.file("clip; touch " + marker + "|");
    std::filesystem::create_directories(std::filesystem::path(command).parent_path());
    standin::makeClip(command, "pal-dvd");
    log.clear();
    burn->BurnToVideoDVD({command}, "Command");
    EXPECT_EQ(log.lines().back(), "burn is nil");
    EXPECT_FALSE(standin::pathExists(marker));
    EXPECT_TRUE(answerer->setupShowings().empty());
    EXPECT_TRUE(notices.entries().empty());
}

}  // namespace
}  // namespace kilnware
