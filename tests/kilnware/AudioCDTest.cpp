#include <gtest/gtest.h>

#include <fstream>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include "tests/support/BurnFixture.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

class AudioCD : public test::BurnTest {
protected:
    std::vector<std::string> paths;
    List info;

    void SetUp() override {
        test::writeCDWav(dir.file("one.wav"), 44100);          // 75 blocks
        test::writeCDWav(dir.file("two.wav"), 44100 * 2 + 1);  // 151 blocks
        paths = {dir.file("one.wav"), dir.file("two.wav")};
        info = {Value(trackRecord("One", "Band")), Value(trackRecord("Two", "Band"))};
    }
    void expectLayout3() {
        ASSERT_EQ(info.size(), 3u);
        const Dictionary* disc = info[0].dictionary();
        ASSERT_TRUE(disc);
        EXPECT_EQ(*disc, (Dictionary{{VXDiscCDTextEnabled, false},
                                     {VXDiscMCNEnabled, false},
                                     {DRCDTextTitleKey, "nil"}}));
        EXPECT_EQ(disc->begin()->first, "VXDiscCDTextEnabled");
        EXPECT_EQ(lookup(info[1], VXTrackTitleKey).textValue(), "One");
        EXPECT_EQ(lookup(info[2], VXTrackTitleKey).textValue(), "Two");
    }
};

TEST_F(AudioCD, TwoFilesConfirmedBurnInPathOrder) {
    answerer->confirmWith("Scripted CD-R");
    burn->burnToAudioCD(paths, &info);
    EXPECT_FALSE(burn->m_CDAdd);
    expectLayout3();
    waitForBurns();
    auto burns = recorder->burns();
    ASSERT_EQ(burns.size(), 1u);
    ASSERT_EQ(burns[0].tracks.size(), 2u);
    EXPECT_EQ(burns[0].tracks[0]->estimateLength(), 75u);
    EXPECT_EQ(burns[0].tracks[1]->estimateLength(), 151u);
    EXPECT_EQ(answerer->progressShowings().at(0).description, "Burning Audio CD");
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);

    // Without a list the tracks burn without CD-Text.
    answerer->confirmWith("Scripted CD-R");
    burn->burnToAudioCD(paths, nullptr);
    waitForBurns(2);
    EXPECT_EQ(recorder->burns().at(1).tracks.size(), 2u);
    EXPECT_TRUE(recorder->burns().at(1).properties.empty());
}

TEST_F(AudioCD, EmptyOrCancelledRouteBurnsNothingAndKeepsTheList) {
    burn->burnToAudioCD({}, &info);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"there's something wrong in what you have seleted"});
    EXPECT_TRUE(answerer->setupShowings().empty());
    EXPECT_EQ(info.size(), 2u);
    EXPECT_TRUE(info[0].object<TrackInfoClass>());
    EXPECT_FALSE(burn->m_CDAdd);

    log.clear();
    answerer->cancel();
    burn->burnToAudioCD(paths, &info);
    RunLoop::current()->runUntilIdle();
    expectLayout3();
    EXPECT_TRUE(burn->m_CDAdd);
    EXPECT_EQ(answerer->setupShowings().size(), 1u);
    EXPECT_TRUE(answerer->progressShowings().empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(recorder->burns().empty());
}

TEST_F(AudioCD, FileWithoutAudioStillShowsThePanelAndFailsTheEmptyBurn) {
    std::ofstream(dir.file("notes.txt")) << "text";
    paths[1] = dir.file("notes.txt");
    answerer->confirmWith("Scripted CD-R");
    burn->burnToAudioCD(paths, &info);
    waitForBurns();
    ASSERT_EQ(info.size(), 3u);
    EXPECT_TRUE(info[0].isDictionary());
    EXPECT_TRUE(info[1].isDictionary());
    EXPECT_TRUE(info[2].object<TrackInfoClass>());  // the record of the failing file stays
    EXPECT_EQ(log.lines().front(), "track is nil");
    EXPECT_EQ(notices.count("BurnFailed"), 1u);
    EXPECT_TRUE(recorder->burns().empty());
}

// CD-Text goes to the burn only when element 0 enables it; then every key but the ZUN ones.
TEST_F(AudioCD, CDTextGoesOnlyWhenEnabledAndWithoutZUNKeys) {
    auto burnObject = DRBurn::burnForDevice(recorder.get());
    burnObject->setProperties(Dictionary{{"Other", 3}});
    const Dictionary before = burnObject->properties();
    List withoutKey{Value(Dictionary{{DRCDTextTitleKey, "T"}})};
    List disabled{Value(Dictionary{{VXDiscCDTextEnabled, false}})};
    List empty;
    List recordFirst{Value(trackRecord("T", "A"))};
    for (List* list : {&withoutKey, &disabled, &empty, &recordFirst, static_cast<List*>(nullptr)}) {
        burn->setBurnProperties(burnObject, list);
        EXPECT_EQ(burnObject->properties(), before);
    }

    Dictionary disc{{VXDiscCDTextEnabled, true},
                    {VXDiscMCNEnabled, false},
                    {DRCDTextTitleKey, "My Disc"},
                    {"ZUNNote", "hidden"}};
    Dictionary track{{VXTrackTitleKey, "Intro"}, {VXTrackAuthorKey, "Band"}, {VXTrackPreGap, 150}};
    List list{Value(disc), Value(track), Value(trackRecord("not yet", "built"))};
    burn->setBurnProperties(burnObject, &list);
    Dictionary properties = burnObject->properties();
    EXPECT_EQ(properties["Other"].int64Value(), 3);
    auto block = properties[DRCDTextKey].object<DRCDTextBlock>();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->language(), "");
    EXPECT_EQ(block->encoding(), 5u);
    auto tracks = block->tracks();
    ASSERT_EQ(tracks.size(), 2u);  // the record has nothing to copy
    disc.erase("ZUNNote");
    EXPECT_EQ(tracks[0], disc);
    EXPECT_EQ(tracks[1], track);
}

}  // namespace
}  // namespace kilnware
