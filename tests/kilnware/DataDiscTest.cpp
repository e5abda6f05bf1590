#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include "tests/support/BurnFixture.h"
#include "tests/support/ImageReadBack.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

class DataDisc : public test::BurnTest {
protected:
    std::string folder, file;

    void SetUp() override {
        folder = dir.file("Photos");
        std::filesystem::create_directories(folder + "/2026");
        std::ofstream(folder + "/2026/beach.jpg") << "jpeg";
        file = dir.file("notes.txt");
        std::ofstream(file) << "notes";
    }
    // Waits for the next burn to end and writes the stream of its one track to a file, checking
    // that its length is what the track announced.
    std::string nextImage() {
        const std::size_t burnsBefore = recorder->burns().size();
        const std::size_t noticesBefore = notices.entries().size();
        EXPECT_TRUE(runUntil(
            [&] { return notices.entries().size() == noticesBefore + 1 && !burn->burning; }));
        auto burns = recorder->burns();
        if (burns.size() != burnsBefore + 1 || burns.back().tracks.size() != 1) {
            ADD_FAILURE() << "no single track was burned";
            return "";
        }
        const auto& track = *burns.back().tracks[0];
        const std::string image = dir.file("burn" + std::to_string(burns.size()) + ".img");
        EXPECT_EQ(test::writeTrack(track, image), "");
        EXPECT_EQ(std::filesystem::file_size(image), track.estimateLength() * 2048);
        return image;
    }
};

// Each choice holds the tree in its file system alone; the plain ISO 9660 tree stays empty but
// for ISO 9660 and Joliet, which carries it for the players that read nothing else. A missing
// path adds nothing and takes nothing from the others.
TEST_F(DataDisc, EachChoiceHoldsTheTreeInItsFileSystem) {
    for (int choice = 0; choice < 4; ++choice) {
        SCOPED_TRACE(choice);
        answerer->confirmWith("Scripted CD-R");
        burn->burnDataToDisc({dir.file("gone"), file, folder},
                             choice ? std::nullopt : std::optional<std::string>("Holiday"), choice);
        const std::string image = nextImage();
        const std::string names = testing::PrintToString(
            choice < 2 ? test::isoPaths(image, choice ? "-J" : "-R")
                       : test::sevenZipPaths(image, choice == 2 ? "Udf" : "HFS"));
        EXPECT_NE(names.find("notes.txt"), std::string::npos) << names;
        EXPECT_NE(names.find("2026/beach.jpg"), std::string::npos) << names;
        EXPECT_EQ(test::isoPaths(image, "").empty(), choice > 1);
        if (choice < 2) {  // without a name the disc is "Data Disc"
            const std::string said = test::runProgram("isoinfo", {"-d", "-i", image}).out;
            EXPECT_NE(said.find(choice ? "Volume id: DATA_DISC\n" : "Volume id: HOLIDAY\n"),
                      std::string::npos)
                << said;
            EXPECT_EQ(said.find("NO Joliet present") != std::string::npos, choice == 0) << said;
        }
    }
    EXPECT_EQ(answerer->progressShowings().at(0).description, "Burn Data Disc");
    EXPECT_EQ(notices.count("BurnSucceed"), 4u);
}

TEST_F(DataDisc, WhatCannotBeBurnedShowsNoPanel) {
    for (int choice : {4, -1}) {
        burn->burnDataToDisc({folder}, "X", choice);
    }
    burn->burnDataToDisc({}, "X", 0);
    EXPECT_TRUE(log.lines().empty());
    std::ofstream(folder + "/bad\xff.txt") << "not UTF-8";
    burn->burnDataToDisc({folder}, "X", 1);
    EXPECT_EQ(log.lines().back(), "track is nil");
    log.clear();
    burn->burnToMp3CD({}, "T", false);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"there's something wrong in what you have seleted"});
    EXPECT_FALSE(burn->m_CDAdd);
    EXPECT_TRUE(answerer->setupShowings().empty());
}

TEST_F(DataDisc, Mp3CDIsAJolietDiscWithTheVerifyFlagOfTheHost) {
    for (bool verify : {true, false}) {
        answerer->confirmWith("Scripted CD-R", [&](DRSetupPanel& panel) {
            // Whatever the panel holds when it closes, the host's flag wins.
            static_cast<DRBurnSetupPanel&>(panel).burnObject()->setVerifyDisc(!verify);
        });
        burn->burnToMp3CD({folder, file}, std::nullopt, verify);
        EXPECT_FALSE(burn->m_CDAdd);
        const std::string image = nextImage();
        EXPECT_EQ(recorder->burns().back().verify, verify);
        const std::string names = testing::PrintToString(test::isoPaths(image, "-J"));
        EXPECT_NE(names.find("beach.jpg"), std::string::npos) << names;
        // Car stereos read the plain ISO 9660 tree; Linux reads Rock Ridge, every file readable.
        const std::string plain = testing::PrintToString(test::isoPaths(image, ""));
        EXPECT_NE(plain.find("BEACH.JPG;1"), std::string::npos) << plain;
        const std::string items = testing::PrintToString(test::rockRidgeItems(image));
        EXPECT_NE(items.find("-r--r--r-- 0 0 /Photos/2026/beach.jpg"), std::string::npos) << items;
    }
    EXPECT_EQ(answerer->progressShowings().at(0).description, "Burning Mp3 CD");
}

TEST_F(DataDisc, Mp3CDEdges) {
    VXAdd builder;
    auto tracks = builder.discAddMp3Request({file}, std::nullopt);
    ASSERT_TRUE(tracks);
    ASSERT_EQ(tracks->size(), 1u);
    EXPECT_FALSE(builder.m_track);  // the MP3 folder leaves the builder's track alone

    // Cancelled: the builder stays.
    answerer->cancel();
    burn->burnToMp3CD({file}, "T", true);
    EXPECT_TRUE(burn->m_CDAdd);

    // No track: the empty layout still goes to the panel after confirmation, and fails there.
    std::ofstream(folder + "/bad\xff.mp3") << "x";
    answerer->confirmWith("Scripted CD-R");
    burn->burnToMp3CD({folder}, "T", false);
    ASSERT_TRUE(runUntil([&] { return notices.count("BurnFailed") == 1 && !burn->burning; }));
    EXPECT_EQ(log.lines().at(log.lines().size() - 5), "track is nil");
    EXPECT_TRUE(recorder->burns().empty());
}

}  // namespace
}  // namespace kilnware
