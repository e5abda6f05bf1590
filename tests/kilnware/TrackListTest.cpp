#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <locale>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include "tests/support/BurnFixture.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

using namespace platform;
using test::LogCapture;
using test::TempDir;
using test::trackRecord;

std::vector<std::string> keysOf(const Value& value) {
    std::vector<std::string> keys;
    for (const auto& entry : *value.dictionary()) {
        keys.push_back(entry.first);
    }
    return keys;
}

// The file paths that the file-built dictionaries of `list` name, in order.
std::vector<std::string> filePaths(const List& list) {
    std::vector<std::string> paths;
    for (const auto& element : list) {
        paths.push_back(lookup(element, VXTrackFilePath).textValue().value_or("-"));
    }
    return paths;
}

class TrackList : public ::testing::Test {
protected:
    TempDir dir;
    LogCapture log;
    VXAdd builder;

    // A CD-format WAV of `blocks` whole blocks.
    std::string wav(const std::string& name, std::int64_t blocks) {
        const std::string path = dir.file(name);
        test::writeCDWav(path, blocks * 588);
        return path;
    }
    static std::uint64_t lengthOf(const Value& track) {
        return track.object<DRTrack>()->estimateLength();
    }
};

TEST_F(TrackList, RecordBecomesARecordBuiltDictionaryInPlace) {
    auto first = trackRecord("One", "A");
    List list{Value(first), Value("second"), Value(trackRecord("Intro", "Band", 150))};
    EXPECT_EQ(builder.addTrackInfoFromPath("/ignored", 2, &list), &list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].object<TrackInfoClass>(), first);
    EXPECT_EQ(list[1].textValue(), "second");
    const Dictionary built{
        {VXTrackTitleKey, "Intro"}, {VXTrackAuthorKey, "Band"}, {VXTrackPreGap, 150}};
    EXPECT_EQ(*list[2].dictionary(), built);
    EXPECT_EQ(keysOf(list[2]), keysOf(Value(built)));

    // A cleared record has no title and no author: their keys stay out.
    auto cleared = trackRecord("T", "A", 7);
    cleared->addNilInfo();
    list[0] = Value(cleared);
    builder.addTrackInfoFromPath("", 0, &list);
    EXPECT_EQ(keysOf(list[0]), std::vector<std::string>{"VXTrackPreGap"});

    // Out of range or not a record: the list stays as it was.
    builder.addTrackInfoFromPath("", 1, &list);
    builder.addTrackInfoFromPath("", 9, &list);
    EXPECT_EQ(list[1].textValue(), "second");
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(builder.addTrackInfoFromPath("", 0, nullptr), nullptr);
}

TEST_F(TrackList, FileBuiltDictionaryIsInsertedWithItsSevenKeys) {
    test::writeAudioFile(dir.file("01 Intro.aiff"), SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2,
                         588 * 10);
    List list{Value("a"), Value("b")};
    builder.addTrackInfoFromFile(dir.file("01 Intro.aiff"), 0, &list);
    ASSERT_EQ(list.size(), 3u);
    const Dictionary built{{VXTrackFilePath, dir.file("01 Intro.aiff")},
                           {VXTrackLength, std::uint64_t{10}},
                           {VXTrackPreEmphasisEnabled, false},
                           {VXTrackPreGap, 1},
                           {VXTrackIndexPointsEnabled, false},
                           {VXTrackIndexPoints, List{}},
                           {DRCDTextTitleKey, "01 Intro"}};
    EXPECT_EQ(*list[0].dictionary(), built);
    EXPECT_EQ(keysOf(list[0]), keysOf(Value(built)));
    EXPECT_EQ(list[1].textValue(), "a");

    // At the count it appends; a file that is no audio gets length 0; a.b.wav keeps "a.b".
    builder.addTrackInfoFromFile("/Music/a.b.wav", 3, &list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(lookup(list[3], VXTrackLength).uint64Value(), 0u);
    EXPECT_EQ(lookup(list[3], DRCDTextTitleKey).textValue(), "a.b");
    EXPECT_EQ(builder.addTrackInfoFromFile("/Music/a.b.wav", 0, nullptr), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(TrackList, InOrderBuilderKeepsThePathOrder) {
    const std::vector<std::string> paths{wav("a.wav", 1), wav("b.wav", 2), wav("c.wav", 3)};
    List info{Value(trackRecord("A", "x")), Value(trackRecord("B", "y", 150)),
              Value(trackRecord("C", "z"))};
    auto tracks = builder.discPathAddTrackRequest(paths, &info);
    ASSERT_TRUE(tracks);
    ASSERT_EQ(tracks->size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lengthOf((*tracks)[i]), i + 1);
        EXPECT_EQ(lookup(info[i], VXTrackTitleKey).textValue(), std::string(1, char('A' + i)));
    }
    // The record's pre-gap reaches the engine's track, in frames.
    EXPECT_EQ((*tracks)[1].object<DRTrack>()->properties()[DRPreGapLengthKey].uint64Value(), 150u);
    EXPECT_EQ(builder.m_track, (*tracks)[2].object<DRTrack>());
    EXPECT_FALSE((*tracks)[0].object<DRTrack>()->properties().contains(DRPreGapLengthKey));
    EXPECT_EQ(builder.discPathAddTrackRequest({}, &info)->size(), 0u);
    EXPECT_EQ(info.size(), 3u);

    // A shorter list: every track is made and the list keeps what it has.
    List shorter{Value(trackRecord("only", std::nullopt))};
    EXPECT_EQ(builder.discPathAddTrackRequest(paths, &shorter)->size(), 3u);
    EXPECT_EQ(shorter.size(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(TrackList, AtIndexBuilderReversesTracksAndSortsDictionaries) {
    const std::string a = wav("a.wav", 1), b = wav("b.wav", 2), c = wav("c.wav", 3);
    List info;
    auto tracks = builder.discFileAddTrackRequest({a, b, c}, &info, 0);
    ASSERT_TRUE(tracks);
    EXPECT_EQ(lengthOf((*tracks)[0]), 3u);
    EXPECT_EQ(lengthOf((*tracks)[2]), 1u);
    EXPECT_EQ(filePaths(info), (std::vector<std::string>{c, b, a}));

    // b, a: the tracks follow the path list, the dictionaries the sorted list.
    info.clear();
    tracks = builder.discFileAddTrackRequest({b, a}, &info, 0);
    EXPECT_EQ(lengthOf((*tracks)[0]), 1u);  // a
    EXPECT_EQ(lengthOf((*tracks)[1]), 2u);  // b
    EXPECT_EQ(filePaths(info), (std::vector<std::string>{b, a}));

    // Case does not decide the order: "B.wav" sorts between a and c.
    const std::string upperB = wav("B.wav", 2);
    info.clear();
    builder.discFileAddTrackRequest({c, upperB, a}, &info, 0);
    EXPECT_EQ(filePaths(info), (std::vector<std::string>{c, upperB, a}));

    // An index past the ends lands at the end of both lists, and nothing is lost.
    List two{Value("x"), Value("y")};
    tracks = builder.discFileAddTrackRequest({a, b}, &two, 7);
    ASSERT_EQ(tracks->size(), 2u);
    EXPECT_EQ(lengthOf((*tracks)[0]), 1u);
    EXPECT_EQ(filePaths(two), (std::vector<std::string>{"-", "-", a, b}));
    tracks = builder.discFileAddTrackRequest({a}, &two, -3);
    EXPECT_EQ(filePaths(two).front(), a);
}

// The at-index builder orders its dictionaries as the language the host chose does (setlocale, or
// std::locale::global): accents and case do not push a name to the end. Where the host chose none,
// the environment's language counts: a process of its own runs with en_US.UTF-8 set there.
TEST_F(TrackList, AtIndexBuilderSortsByTheHostsLanguage) {
    const std::string zebra = wav("Zebra.wav", 1), apple = wav("apple.wav", 1);
    const std::string eclair = wav("\u00c9clair.wav", 1);
    // Every dictionary goes to the front: the sorted order, reversed.
    const std::vector<std::string> language{zebra, eclair, apple}, codePoints{eclair, zebra, apple};
    auto order = [&] {
        List info;
        EXPECT_TRUE(builder.discFileAddTrackRequest({zebra, apple, eclair}, &info, 0));
        return filePaths(info);
    };
    if (std::getenv("KILNWARE_TRACK_ORDER_CHILD")) {
        EXPECT_EQ(order(), language);
        ASSERT_TRUE(setlocale(LC_ALL, "C.UTF-8"));
        EXPECT_EQ(order(), codePoints);  // the host's choice, over the environment's
        return;
    }
    ASSERT_TRUE(setlocale(LC_ALL, "en_US.UTF-8")) << "scripts/install-deps.sh generates it";
    EXPECT_EQ(order(), language);
    setlocale(LC_ALL, "C");
    std::locale::global(std::locale("en_US.UTF-8"));
    EXPECT_EQ(order(), language);
    std::locale::global(std::locale::classic());
    auto run = test::runProgram(std::filesystem::read_symlink("/proc/self/exe"),
                                {"--gtest_filter=*.AtIndexBuilderSortsByTheHostsLanguage"},
                                {"LC_ALL=en_US.UTF-8", "KILNWARE_TRACK_ORDER_CHILD=1"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
}

TEST_F(TrackList, SecondPathWithoutAudio) {
    const std::string a = wav("a.wav", 1);
    std::ofstream(dir.file("notes.txt")) << "not audio";
    // What the list holds afterwards, and the log line, AudioCD's tests check on the route.
    List info{Value(trackRecord("A", "x")), Value(trackRecord("B", "y"))};
    EXPECT_FALSE(builder.discPathAddTrackRequest({a, dir.file("notes.txt")}, &info));
    EXPECT_FALSE(builder.m_track);
    log.clear();
    List inserted;
    EXPECT_FALSE(builder.discFileAddTrackRequest({a, dir.file("notes.txt")}, &inserted, 0));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(filePaths(inserted), std::vector<std::string>{a});
}

TEST_F(TrackList, FileSizeInKilobytes) {
    for (auto [bytes, kilobytes] : {std::pair{1023, 0}, {1024, 1}, {5000, 4}}) {
        std::ofstream(dir.file("f"), std::ios::trunc) << std::string(std::size_t(bytes), 'x');
        EXPECT_EQ(builder.getFileSize(dir.file("f")), kilobytes) << bytes;
    }
    EXPECT_EQ(builder.getFileSize(dir.file("missing")), 0);
    // A link counts as what it points to.
    ASSERT_EQ(symlink(dir.file("f").c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(builder.getFileSize(dir.file("link")), 4);
    // 2 TiB, sparse: more kilobytes than a signed 32-bit answer holds.
    int fd = open(dir.file("huge").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 41), 0);
    close(fd);
    EXPECT_EQ(builder.getFileSize(dir.file("huge")), std::numeric_limits<std::int32_t>::max());
}

}  // namespace
}  // namespace kilnware
