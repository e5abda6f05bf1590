#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include <fstream>
#include <sstream>

#include <kilnware/Kilnware.h>
#include "Kilnware/VideoWork.h"
#include "tests/support/BurnFixture.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

std::string contentOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

TEST(VideoWorkPaths, ComeFromTheFirstMpegFile) {
    auto paths = video::workPathsFor("/Movies/trip.mpg");
    EXPECT_EQ(paths.folder, "/Movies/trip");
    EXPECT_EQ(paths.project, "/Movies/trip.xml");
    EXPECT_EQ(paths.image, "/Movies/trip.iso");
    EXPECT_EQ(video::workPathsFor("/m/a.mpg.bak").folder, "/m/a");
    // Where the file name holds no ".mpg", or a folder name holds it first, the file's own name
    // in its own folder gives the paths: never the file itself, never a folder outside.
    EXPECT_EQ(video::workPathsFor("/a/b.mpg.c/d.mpg").folder, "/a/b.mpg.c/d");
    EXPECT_EQ(video::workPathsFor("/m/clip.MPG").folder, "/m/clip");
    EXPECT_EQ(video::workPathsFor("/m/clip.mpeg").project, "/m/clip.xml");
    EXPECT_EQ(video::workPathsFor("/m/clip").folder, "/m/clip_DVD");
    EXPECT_EQ(video::workPathsFor("/m/.mpg").folder, "/m/.mpg_DVD");
}

TEST(VideoProjectFile, IsExactAndEscapesWhatXmlWouldRead) {
    const std::string text = video::projectFileText(
        "/m/Tom & Jerry", {"/m/Tom & Jerry.mpg", "/m/say \"hi\".mpg", "/m/<c>.mpg"});
    EXPECT_EQ(text,
              "<dvdauthor dest= \"/m/Tom &amp; Jerry\">\n<vmgm />\n<titleset>\n<titles>\n<pgc>\n"
              "<vob file=\"/m/Tom &amp; Jerry.mpg\"/>\n"
              "<vob file=\"/m/say &quot;hi&quot;.mpg\"/>\n"
              "<vob file=\"/m/&lt;c&gt;.mpg\"/>\n"
              "</pgc>\n</titles>\n</titleset>\n</dvdauthor>");
}

class VideoDVD : public test::BurnTest {
protected:
    std::string toolLog;

    void SetUp() override {
        StandIns::registerStandIn("/Users/user/Desktop/dvdauthor", KILNWARE_FAKE_VIDEO_TOOLS);
        StandIns::registerStandIn("/usr/bin/hdiutil", KILNWARE_FAKE_VIDEO_TOOLS);
        toolLog = dir.file("tools.log");
        setenv("KILNWARE_FAKE_TOOL_LOG", toolLog.c_str(), 1);
        std::ofstream(dir.file("trip.mpg")) << "mpeg";
        std::ofstream(dir.file("more.mpg")) << "mpeg";
    }
    void TearDown() override {
        unsetenv("KILNWARE_FAKE_TOOL_LOG");
        unsetenv("KILNWARE_FAKE_IMAGE_FAILS");
    }
    // Each tool run, as the list of its arguments.
    std::vector<std::vector<std::string>> toolRuns() const {
        std::vector<std::vector<std::string>> runs;
        std::istringstream lines(contentOf(toolLog));
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> args;
            std::istringstream fields(line);
            for (std::string field; std::getline(fields, field, '\x1f');) {
                args.push_back(field);
            }
            if (!line.empty() && line.back() == '\x1f') {
                args.emplace_back();
            }
            runs.push_back(args);
        }
        return runs;
    }
};

TEST_F(VideoDVD, MpegRouteAuthorsImagesBurnsAndCleansUp) {
    // While the setup panel is up, the route's files are all there.
    answerer->confirmWith("Scripted CD-R", [&](DRSetupPanel&) {
        EXPECT_TRUE(exists(dir.file("trip/VIDEO_TS/VIDEO_TS.IFO")));
        EXPECT_TRUE(exists(dir.file("trip.xml")));
        EXPECT_TRUE(exists(dir.file("trip.iso")));
    });
    burn->BurnToVideoDVD({dir.file("trip.mpg"), dir.file("more.mpg")}, std::nullopt);
    EXPECT_EQ(burn->folderpath, dir.file("trip"));
    EXPECT_EQ(burn->xmlPath, dir.file("trip.xml"));
    EXPECT_EQ(burn->isoPath, dir.file("trip.iso"));
    ASSERT_EQ(burn->trackArray.size(), 1u);
    EXPECT_FALSE(burn->m_VideoTask);
    auto runs = toolRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"-x", dir.file("trip.xml")}));
    EXPECT_EQ(runs[1],
              (std::vector<std::string>{"makehybrid", "-iso", "-joliet", "-udf", "-udf-version",
                                        "1.02", "-udf-volume-name", "Video DVD", "-o",
                                        dir.file("trip.iso"), dir.file("trip")}));
    waitForBurns();
    EXPECT_EQ(answerer->progressShowings().at(0).description, "Burn Video DVD");
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);
    // The work files and their record are gone; the MPEG files stay.
    for (const char* name : {"trip.iso", "trip", "trip.xml", ".trip.iso.kilnware-work"}) {
        EXPECT_FALSE(exists(dir.file(name))) << name;
    }
    EXPECT_TRUE(exists(dir.file("trip.mpg")));
    EXPECT_TRUE(exists(dir.file("more.mpg")));
}

TEST_F(VideoDVD, TitlesReachTheImageToolAsGiven) {
    answerer->cancel();
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "Holiday");
    answerer->cancel();
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, std::string());
    auto runs = toolRuns();
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[1][7], "Holiday");
    EXPECT_EQ(runs[3].size(), 11u);
    EXPECT_EQ(runs[3][7], "");
    // A cancelled burn leaves the files; the next run of the same route takes them as its own
    // leftovers.
    EXPECT_TRUE(exists(dir.file("trip.iso")));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(VideoDVD, EmptyListDoesNothing) {
    burn->BurnToVideoDVD({}, "T");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(burn->fm);
    EXPECT_TRUE(burn->folderpath.empty());
    EXPECT_TRUE(toolRuns().empty());
}

TEST_F(VideoDVD, NoLayoutWithoutAnImage) {
    setenv("KILNWARE_FAKE_IMAGE_FAILS", "1", 1);
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"burn is nil"});
    EXPECT_TRUE(burn->trackArray.empty());
    EXPECT_TRUE(answerer->setupShowings().empty());
    log.clear();
    burn->BurnTsFolderToDVD(dir.file("trip"), "T");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Burn is Nil"});
    EXPECT_TRUE(notices.entries().empty());
}

TEST_F(VideoDVD, WhatNoEarlierRunMadeStopsTheRouteUntouched) {
    std::ofstream(dir.file("trip.xml")) << "my notes";
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Not touching " + dir.file("trip.xml") +
                                       ": it is no work of an earlier video DVD burn"});
    EXPECT_EQ(contentOf(dir.file("trip.xml")), "my notes");
    EXPECT_TRUE(toolRuns().empty());
    EXPECT_FALSE(burn->fm);

    // A folder with more than VIDEO_TS and AUDIO_TS in it is someone's, too.
    std::filesystem::remove(dir.file("trip.xml"));
    std::filesystem::create_directories(dir.file("trip/VIDEO_TS"));
    std::ofstream(dir.file("trip/letter.txt")) << "keep me";
    log.clear();
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(exists(dir.file("trip/letter.txt")));
}

TEST_F(VideoDVD, PreparedFolderRouteNeverRemovesTheHostsFolder) {
    // An MPEG route that is cancelled leaves its folder in the fields...
    answerer->cancel();
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    const std::string leftFolder = burn->folderpath, leftProject = burn->xmlPath;
    // ... and the host then burns that very folder, given with a trailing separator.
    answerer->confirmWith("Scripted CD-R");
    burn->BurnTsFolderToDVD(dir.file("trip") + "/", std::nullopt);
    EXPECT_EQ(burn->isoPath, dir.file("trip.iso"));
    EXPECT_EQ(burn->folderpath, leftFolder);
    EXPECT_EQ(burn->xmlPath, leftProject);
    auto runs = toolRuns();
    ASSERT_EQ(runs.size(), 3u);  // no authoring for the prepared folder
    EXPECT_EQ(runs[2][7], "Video DVD");
    EXPECT_EQ(runs[2][10], dir.file("trip") + "/");
    waitForBurns();
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);
    EXPECT_FALSE(exists(dir.file("trip.iso")));
    EXPECT_TRUE(exists(dir.file("trip/VIDEO_TS")));
    EXPECT_FALSE(exists(dir.file("trip.xml")));  // the earlier route's own project file
}

TEST_F(VideoDVD, PreparedFolderRouteNeedsAFolder) {
    burn->BurnTsFolderToDVD(std::nullopt, "T");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Please show us a path of ts-Folder"});
    EXPECT_FALSE(burn->fm);
}

TEST_F(VideoDVD, LaterDataBurnRemovesAFailedVideoBurnsFiles) {
    recorder->failNextBurn("Write error");
    answerer->confirmWith("Scripted CD-R");
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    waitForBurns();
    EXPECT_TRUE(exists(dir.file("trip.iso")));
    answerer->confirmWith("Scripted CD-R");
    burn->burnLayout(Value(burn->trackArray), "Burn Data Disc");
    waitForBurns(2);
    EXPECT_FALSE(exists(dir.file("trip.iso")));
    EXPECT_FALSE(exists(dir.file("trip")));
    EXPECT_FALSE(exists(dir.file("trip.xml")));
}

TEST_F(VideoDVD, NotStartedWhileAnEarlierBurnRuns) {
    recorder->setOperationDuration(std::chrono::milliseconds(300));
    answerer->confirmWith("Scripted CD-R");
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    const auto runsBefore = toolRuns().size();
    burn->BurnToVideoDVD({dir.file("more.mpg")}, "Other");
    burn->BurnTsFolderToDVD(dir.file("trip"), "Other");
    EXPECT_EQ(toolRuns().size(), runsBefore);
    EXPECT_EQ(burn->folderpath, dir.file("trip"));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "A burn of this controller is still running: the video DVD was not started");
    waitForBurns();
}

}  // namespace
}  // namespace kilnware
