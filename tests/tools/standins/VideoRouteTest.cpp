// The prepared-folder route of the library, end to end with the real authoring program behind the
// stand-ins, burned on a scriptable CD-R recorder. (The MPEG route runs so from the command's
// tests; the stand-ins' own tests cover what they refuse.)
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kilnware
