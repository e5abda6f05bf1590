#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRTrack.h>

#include "tests/support/ImageReadBack.h"
#include "tests/support/TestSupport.h"

namespace kilnware::test {
namespace {

using platform::DRFile;
using platform::DRFolder;
using platform::DRTrack;

const std::string kLongName = "A Long Mixed-Case File Name For Burning.Text";
const std::string kUnicodeName = "Grüße ünïcödé.txt";
// The same name as HFS+ keeps it, decomposed.
const std::string kUnicodeNameDecomposed = "Gru\u0308\u00DFe u\u0308ni\u0308co\u0308de\u0301.txt";

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

// A small real tree: nested folders, a long mixed-case name, a UTF-8 name, a link to a file and a
// pipe, which no disc holds. The track's root is virtual and holds the folder "Data" and a
// virtual folder "Extra" with one file.
class FilesystemImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        data = dir.file("Data");
        std::filesystem::create_directories(data + "/Nested");
        writeFile(data + "/Nested/deep.txt", "deep content\n");
        writeFile(data + "/" + kLongName, "long name\n");
        writeFile(data + "/" + kUnicodeName, "unicode\n");
        std::filesystem::create_symlink("Nested/deep.txt", data + "/link-to-deep.txt");
        ASSERT_EQ(::mkfifo((data + "/pipe").c_str(), 0644), 0);
        single = dir.file("single.bin");
        writeFile(single, pattern(5000));
        const timespec when[2] = {{981'201'600, 0}, {981'201'600, 0}};  // 2001-02-03 12:00 UTC
        ASSERT_EQ(::utimensat(AT_FDCWD, single.c_str(), when, 0), 0);
    }

    std::shared_ptr<DRFolder> makeRoot(std::uint32_t mask) {
        auto root = DRFolder::virtualFolderWithName("Kiln Test");
        EXPECT_TRUE(root->addChild(DRFolder::folderWithPath(data)));
        auto extra = DRFolder::virtualFolderWithName("Extra");
        EXPECT_TRUE(extra->addChild(DRFile::fileWithPath(single)));
        EXPECT_TRUE(root->addChild(extra));
        if (mask != 0) {
            root->setExplicitFilesystemMask(mask);
        }
        return root;
    }

    // Makes the track, streams it into a file and checks the length it announced.
    std::string image(std::uint32_t mask) {
        auto track = DRTrack::trackForRootFolder(makeRoot(mask));
        EXPECT_TRUE(track);
        if (!track) {
            return "";
        }
        EXPECT_EQ(track->kind(), DRTrack::Kind::Data);
        const std::string path = dir.file("image-" + std::to_string(mask) + ".iso");
        EXPECT_EQ(writeTrack(*track, path), "");
        EXPECT_EQ(std::filesystem::file_size(path), track->estimateLength() * 2048);
        return path;
    }

    static std::vector<std::string> expectedPaths(const std::string& prefix,
                                                  const std::string& unicodeName = kUnicodeName) {
        std::vector<std::string> paths = {
            "Data",        "Data/" + kLongName,    "Data/" + unicodeName,
            "Data/Nested", "Data/Nested/deep.txt", "Data/link-to-deep.txt",
            "Extra",       "Extra/single.bin"};
        for (auto& path : paths) {
            path = prefix + path;
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    TempDir dir;
    LogCapture log;
    std::string data;
    std::string single;
};

TEST_F(FilesystemImageTest, Iso9660HoldsTheTreeUnderRockRidgeNamesAndNoJoliet) {
    const std::string iso = image(platform::DRFilesystemInclusionMaskISO9660);
    EXPECT_EQ(isoPaths(iso, "-R"), expectedPaths("/"));
    // Without Rock Ridge the names are the mapped upper-case ones.
    const auto plain = isoPaths(iso, "");
    EXPECT_NE(std::find(plain.begin(), plain.end(), "/DATA/NESTED/DEEP.TXT;1"), plain.end());
    const std::string descriptors = runProgram("isoinfo", {"-d", "-i", iso}).out;
    EXPECT_EQ(descriptors.find("Joliet with"), std::string::npos) << descriptors;
    EXPECT_NE(descriptors.find("Volume id: KILN_TEST\n"), std::string::npos) << descriptors;

    EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/Data/link-to-deep.txt"}).out,
              "deep content\n");
    EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/Data/" + kUnicodeName}).out,
              "unicode\n");
    EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/Extra/single.bin"}).out,
              pattern(5000));
}

TEST_F(FilesystemImageTest, JolietHoldsTheTreeAndTheSameFilesInPlainIso9660) {
    const std::string iso = image(platform::DRFilesystemInclusionMaskJoliet);
    // 7-Zip reads the Joliet tree when there is one.
    EXPECT_EQ(sevenZipPaths(iso, "Iso"), expectedPaths(""));
    EXPECT_EQ(sevenZipFile(iso, "Iso", "Data/" + kLongName), "long name\n");
    EXPECT_EQ(sevenZipFile(iso, "Iso", "Extra/single.bin"), pattern(5000));
    // A player that reads only ISO 9660 sees the same files under mapped names, no Rock Ridge.
    const auto plain = isoPaths(iso, "");
    EXPECT_EQ(plain.size(), expectedPaths("").size());
    EXPECT_EQ(runProgram("isoinfo", {"-i", iso, "-x", "/DATA/NESTED/DEEP.TXT;1"}).out,
              "deep content\n");
    EXPECT_EQ(runProgram("isoinfo", {"-i", iso, "-x", "/EXTRA/SINGLE.BIN;1"}).out, pattern(5000));
    EXPECT_NE(runProgram("isoinfo", {"-d", "-i", iso}).out.find("NO Rock Ridge present"),
              std::string::npos);
    // Both trees keep the file's time (isoinfo shows local time: the day is enough).
    EXPECT_NE(runProgram("isoinfo", {"-l", "-i", iso}).out.find("Feb  3 2001"), std::string::npos);
    EXPECT_NE(runProgram("isoinfo", {"-J", "-l", "-i", iso}).out.find("Feb  3 2001"),
              std::string::npos);
}

TEST_F(FilesystemImageTest, HfsPlusHoldsTheTreeAndTheIso9660TreeStaysEmpty) {
    const std::string iso = image(platform::DRFilesystemInclusionMaskHFSPlus);
    // 7-Zip shows the HFS+ volume name as the top folder.
    auto expected = expectedPaths("Kiln Test/", kUnicodeNameDecomposed);
    expected.insert(expected.begin(), "Kiln Test");
    EXPECT_EQ(sevenZipPaths(iso, "HFS"), expected);
    EXPECT_EQ(isoPaths(iso, ""), std::vector<std::string>{});
    EXPECT_EQ(sevenZipFile(iso, "HFS", "Kiln Test/Data/Nested/deep.txt"), "deep content\n");
    EXPECT_EQ(sevenZipFile(iso, "HFS", "Kiln Test/Extra/single.bin"), pattern(5000));
}

TEST_F(FilesystemImageTest, UdfHoldsTheTreeAndTheIso9660TreeStaysEmpty) {
    const std::string iso = image(platform::DRFilesystemInclusionMaskUDF);
    auto info = runProgram("udfinfo", {iso});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("label=Kiln Test\n"), std::string::npos) << info.out;
    EXPECT_EQ(sevenZipPaths(iso, "Udf"), expectedPaths(""));
    EXPECT_EQ(isoPaths(iso, ""), std::vector<std::string>{});
    EXPECT_EQ(sevenZipFile(iso, "Udf", "Data/" + kUnicodeName), "unicode\n");
    EXPECT_EQ(sevenZipFile(iso, "Udf", "Data/link-to-deep.txt"), "deep content\n");
    EXPECT_EQ(sevenZipFile(iso, "Udf", "Extra/single.bin"), pattern(5000));
}

TEST_F(FilesystemImageTest, CombinedMasksAndNoMaskHoldTheTreeInEachOfTheirFileSystems) {
    using namespace platform;
    const std::string noMask = image(0);
    EXPECT_EQ(isoPaths(noMask, "-R"), expectedPaths("/"));
    EXPECT_EQ(sevenZipPaths(noMask, "Iso"), expectedPaths(""));

    const std::string udfAndIso =
        image(DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskISO9660);
    EXPECT_EQ(isoPaths(udfAndIso, "-R"), expectedPaths("/"));
    EXPECT_EQ(sevenZipPaths(udfAndIso, "Udf"), expectedPaths(""));

    const std::string udfAndJoliet =
        image(DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskJoliet);
    EXPECT_EQ(isoPaths(udfAndJoliet, ""), std::vector<std::string>{});
    EXPECT_EQ(sevenZipPaths(udfAndJoliet, "Iso"), expectedPaths(""));
    EXPECT_EQ(sevenZipPaths(udfAndJoliet, "Udf"), expectedPaths(""));

    const std::string jolietAndHfs =
        image(DRFilesystemInclusionMaskJoliet | DRFilesystemInclusionMaskHFSPlus);
    EXPECT_EQ(isoPaths(jolietAndHfs, "").size(), expectedPaths("").size());
    EXPECT_EQ(sevenZipPaths(jolietAndHfs, "Iso"), expectedPaths(""));
    EXPECT_EQ(sevenZipPaths(jolietAndHfs, "HFS").size(), expectedPaths("").size() + 1);
}

bool logHas(const LogCapture& log, const std::string& text) {
    for (const auto& line : log.lines()) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string streamAll(const DRTrack& track, std::size_t chunk, std::string* error = nullptr) {
    auto reader = track.newReader();
    std::string bytes;
    std::vector<std::byte> buffer(chunk);
    while (std::size_t n = reader->read(buffer)) {
        bytes.append(reinterpret_cast<const char*>(buffer.data()), n);
    }
    if (error) {
        *error = reader->error();
    }
    return bytes;
}

class FilesystemImageRulesTest : public ::testing::Test {
protected:
    std::shared_ptr<DRFolder> rootWith(
        std::initializer_list<std::shared_ptr<platform::DRFSObject>> nodes,
        std::uint32_t mask = platform::DRFilesystemInclusionMaskISO9660) {
        auto root = DRFolder::virtualFolderWithName("Rules");
        for (const auto& node : nodes) {
            EXPECT_TRUE(root->addChild(node));
        }
        root->setExplicitFilesystemMask(mask);
        return root;
    }

    std::string file(const std::string& name, const std::string& content = "content\n") {
        const std::string path = dir.file(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(FilesystemImageRulesTest, EveryReaderStreamsTheSameBytesWhateverItsChunks) {
    for (std::uint32_t mask : {1u, 2u, 4u, 8u}) {
        SCOPED_TRACE(mask);
        auto track = DRTrack::trackForRootFolder(
            rootWith({DRFile::fileWithPath(file("a.txt", std::string(70000, 'x')))}, mask));
        ASSERT_TRUE(track);
        const std::string whole = streamAll(*track, 1 << 20);
        EXPECT_EQ(whole.size(), track->estimateLength() * 2048);
        // genisoimage stamps each UDF image with the time it makes it; the rest is the same.
        if (mask == 4u) {
            EXPECT_EQ(streamAll(*track, 1000).size(), whole.size());
        } else {
            EXPECT_TRUE(streamAll(*track, 1000) == whole);
        }
        // A reader dropped half-way stops the image cleanly.
        auto dropped = track->newReader();
        std::vector<std::byte> buffer(4096);
        EXPECT_EQ(dropped->read(buffer), buffer.size());
        dropped.reset();
        EXPECT_EQ(streamAll(*track, 65536).size(), whole.size());
    }
}

TEST_F(FilesystemImageRulesTest, FilesOfManyReadsComeOutWholeBesideSmallOnes) {
    // Files are read in large steps ahead of libisofs: sizes off every step and block boundary,
    // with content that never repeats at those lengths.
    std::string large(700'001, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    const std::string middle = large.substr(1000, 262'145);
    auto track =
        DRTrack::trackForRootFolder(rootWith({DRFile::fileWithPath(file("a-large.bin", large)),
                                              DRFile::fileWithPath(file("b-small.txt", "small\n")),
                                              DRFile::fileWithPath(file("c-middle.bin", middle))}));
    ASSERT_TRUE(track);
    const std::string iso = dir.file("many-reads.iso");
    ASSERT_EQ(writeTrack(*track, iso), "");
    EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/a-large.bin"}).out, large);
    EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/b-small.txt"}).out, "small\n");
    EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/c-middle.bin"}).out, middle);
}

TEST_F(FilesystemImageRulesTest, AFileThatVanishesGivesNoTrackOrAFailedRead) {
    // Before the layout: no track.
    auto early = DRFile::fileWithPath(file("early.txt"));
    std::filesystem::remove(dir.file("early.txt"));
    EXPECT_FALSE(DRTrack::trackForRootFolder(rootWith({early})));
    EXPECT_TRUE(logHas(log, "early.txt"));

    // After the layout: the read fails and says which file.
    for (std::uint32_t mask : {1u, 2u, 4u, 8u}) {
        SCOPED_TRACE(mask);
        auto track = DRTrack::trackForRootFolder(
            rootWith({DRFile::fileWithPath(file("late.txt", std::string(10000, 'l')))}, mask));
        ASSERT_TRUE(track);
        std::filesystem::remove(dir.file("late.txt"));
        std::string error;
        const std::string bytes = streamAll(*track, 65536, &error);
        EXPECT_LT(bytes.size(), track->estimateLength() * 2048);
        EXPECT_NE(error.find("late.txt"), std::string::npos) << error;
    }
}

TEST_F(FilesystemImageRulesTest, AFileChangedBeforeOrWhileItIsReadFailsTheReadNamingIt) {
    // "a-first" (3 MiB) is read before "b-later" (8 MiB), and libisofs runs at most its 2 MiB ring
    // and a read-ahead before its reader: after the first 64 KiB of the image "b-later" is not
    // opened yet; after 5 MiB it is open and far from its end. Sizes alone order the steps.
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const std::vector<std::function<void(const std::string&)>> changes = {
        [](const std::string& path) { std::ofstream(path, std::ios::app) << "more"; },
        [](const std::string& path) { std::filesystem::resize_file(path, kMiB); },
        [](const std::string& path) {  // same size, other bytes, in place
            std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << "rewritten";
        },
        [](const std::string& path) {  // a pipe in its place, which must not stall the reader
            std::filesystem::remove(path);
            ::mkfifo(path.c_str(), 0644);
        }};
    for (const std::size_t changeAfter : {64 * 1024 * std::size_t{1}, 5 * kMiB}) {
        for (std::size_t change = 0; change < changes.size(); ++change) {
            SCOPED_TRACE(std::to_string(changeAfter) + " bytes, change " + std::to_string(change));
            const std::string later = file("b-later.bin", std::string(8 * kMiB, 'b'));
            // An old time, so that a rewrite within the clock's tick still shows.
            const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, later.c_str(), old, 0), 0);
            auto track = DRTrack::trackForRootFolder(
                rootWith({DRFile::fileWithPath(file("a-first.bin", std::string(3 * kMiB, 'a'))),
                          DRFile::fileWithPath(later)}));
            ASSERT_TRUE(track);
            auto reader = track->newReader();
            std::vector<std::byte> buffer(64 * 1024);
            std::size_t bytes = 0;
            while (bytes < changeAfter) {
                ASSERT_EQ(reader->read(buffer), buffer.size()) << reader->error();
                bytes += buffer.size();
            }
            changes[change](later);
            while (std::size_t n = reader->read(buffer)) {
                bytes += n;
            }
            EXPECT_LT(bytes, track->estimateLength() * 2048);
            EXPECT_NE(reader->error().find(later + " changed while it was burned"),
                      std::string::npos)
                << reader->error();
            std::filesystem::remove(later);
        }
    }
}

TEST_F(FilesystemImageRulesTest, PipesDevicesAndMadeUpSizesAreLeftOutNeverAnEmptyDisc) {
    std::vector<std::string> warnings;
    const auto sink =
        platform::Log::addSink([&](std::string_view line, platform::Log::Level level) {
            if (level == platform::Log::Level::Warning) {
                warnings.emplace_back(line);
            }
        });
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    struct Case {
        std::shared_ptr<platform::DRFSObject> node;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {DRFile::fileWithPath(pipe), pipe + ", a pipe"},
        {DRFile::fileWithPath("/dev/urandom"), "/dev/urandom, a device"},
        // procfs says 0 bytes for a file that holds some.
        {DRFile::fileWithPath("/proc/cpuinfo"), "/proc/cpuinfo, on a file system whose"},
        {DRFolder::folderWithPath("/sys/kernel"), "/sys/kernel, on a file system whose"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        ASSERT_TRUE(c.node);
        warnings.clear();
        log.clear();
        // Alone, nothing is left: no track, and the log says why.
        EXPECT_FALSE(DRTrack::trackForRootFolder(rootWith({c.node})));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        EXPECT_TRUE(logHas(log, "nothing is left to burn"));
    }
    // Beside a file they are left out, and the file is burned.
    auto root = rootWith({DRFile::fileWithPath(file("kept.txt"))});
    for (const Case& c : cases) {
        ASSERT_TRUE(root->addChild(c.node));
    }
    warnings.clear();
    auto track = DRTrack::trackForRootFolder(root);
    platform::Log::removeSink(sink);
    ASSERT_TRUE(track);
    EXPECT_EQ(warnings.size(), cases.size());
    const std::string iso = dir.file("special.iso");
    ASSERT_EQ(writeTrack(*track, iso), "");
    EXPECT_EQ(isoPaths(iso, "-R"), std::vector<std::string>{"/kept.txt"});
}

TEST_F(FilesystemImageRulesTest, NamesTheDiscCannotHoldGiveNoTrack) {
    // Two children of one name.
    auto first = DRFile::fileWithPath(file("one/same.txt"));
    auto second = DRFile::fileWithPath(file("two/same.txt"));
    EXPECT_FALSE(DRTrack::trackForRootFolder(rootWith({first, second})));
    EXPECT_TRUE(logHas(log, "two items named \"same.txt\""));

    for (const std::string& name :
         std::vector<std::string>{"a/b", "", "..", std::string(256, 'n')}) {
        SCOPED_TRACE(name);
        for (std::uint32_t mask : {1u, 2u, 4u, 8u}) {
            EXPECT_FALSE(DRTrack::trackForRootFolder(
                rootWith({DRFolder::virtualFolderWithName(name)}, mask)));
        }
    }

    // A name on disk that is no UTF-8.
    const std::string latin1 = dir.file("names/caf\xE9.txt");
    std::filesystem::create_directories(dir.file("names"));
    std::ofstream(latin1) << "x";
    EXPECT_FALSE(
        DRTrack::trackForRootFolder(rootWith({DRFolder::folderWithPath(dir.file("names"))})));
    EXPECT_TRUE(logHas(log, "not valid UTF-8"));

    EXPECT_FALSE(DRTrack::trackForRootFolder(rootWith(
        {DRFile::fileWithPath(file("x.txt"))},
        platform::DRFilesystemInclusionMaskUDF | platform::DRFilesystemInclusionMaskHFSPlus)));
}

TEST_F(FilesystemImageRulesTest, LinksThatLeadNowhereOrBackAreLeftOut) {
    file("tree/kept.txt");
    std::filesystem::create_symlink("missing.txt", dir.file("tree/dangling"));
    std::filesystem::create_directories(dir.file("tree/inner"));
    std::filesystem::create_symlink("..", dir.file("tree/inner/up"));
    auto track =
        DRTrack::trackForRootFolder(rootWith({DRFolder::folderWithPath(dir.file("tree"))}));
    ASSERT_TRUE(track);
    const std::string iso = dir.file("links.iso");
    ASSERT_EQ(writeTrack(*track, iso), "");
    EXPECT_EQ(isoPaths(iso, "-R"),
              (std::vector<std::string>{"/tree", "/tree/inner", "/tree/kept.txt"}));
    EXPECT_TRUE(logHas(log, "dangling, a link that leads nowhere"));
    EXPECT_TRUE(logHas(log, "up, a link back into its own folder"));
}

TEST_F(FilesystemImageRulesTest, AFolderFromDiskAsTheRootGivesItsContentsAndItsName) {
    file("Holiday Photos/one.jpg");
    auto root = DRFolder::folderWithPath(dir.file("Holiday Photos"));
    root->setExplicitFilesystemMask(platform::DRFilesystemInclusionMaskUDF);
    auto track = DRTrack::trackForRootFolder(root);
    ASSERT_TRUE(track);
    const std::string iso = dir.file("root.iso");
    ASSERT_EQ(writeTrack(*track, iso), "");
    EXPECT_EQ(sevenZipPaths(iso, "Udf"), std::vector<std::string>{"one.jpg"});
    EXPECT_NE(runProgram("udfinfo", {iso}).out.find("label=Holiday Photos\n"), std::string::npos);
}

TEST_F(FilesystemImageRulesTest, VolumeNamesAreMappedForEachFileSystem) {
    const std::string name = "Ünïcode Volume With A Rather Long Name";
    const auto make = [&](std::uint32_t mask) {
        auto renamed = DRFolder::virtualFolderWithName(name);
        renamed->addChild(DRFile::fileWithPath(file("w.txt")));
        renamed->setExplicitFilesystemMask(mask);
        auto track = DRTrack::trackForRootFolder(renamed);
        const std::string iso = dir.file("volume-" + std::to_string(mask) + ".iso");
        EXPECT_TRUE(track);
        if (track) {
            EXPECT_EQ(writeTrack(*track, iso), "");
        }
        return iso;
    };
    EXPECT_NE(runProgram("isoinfo", {"-d", "-i", make(1)})
                  .out.find("Volume id: _N_CODE_VOLUME_WITH_A_RATHER_LON\n"),
              std::string::npos);
    // UDF: 32 bytes of UTF-8, cut between characters.
    EXPECT_NE(runProgram("udfinfo", {make(4)}).out.find("label=Ünïcode Volume With A Rather L\n"),
              std::string::npos);
    EXPECT_EQ(sevenZipPaths(make(8), "HFS").front(),
              "U\u0308ni\u0308code Volume With A Rather Long Name");

    // The names a host may give its root, a single space and nothing, still make a disc.
    for (const std::string& odd : std::vector<std::string>{" ", ""}) {
        auto root = DRFolder::virtualFolderWithName(odd);
        root->addChild(DRFile::fileWithPath(file("o.txt")));
        EXPECT_TRUE(DRTrack::trackForRootFolder(root));
    }
}

// A UDF tree of any depth streams without leaving anything in $TMPDIR, whether it is read whole
// or dropped half-way.
TEST_F(FilesystemImageRulesTest, UdfOfAnyDepthLeavesNothingInTheTemporaryFolder) {
    TempDir temporary;
    ::setenv("TMPDIR", temporary.path().c_str(), 1);
    file("deep/1/2/3/4/5/6/7/8/9/bottom.txt", "deep");
    auto track = DRTrack::trackForRootFolder(rootWith({DRFolder::folderWithPath(dir.file("deep"))},
                                                      platform::DRFilesystemInclusionMaskUDF));
    ASSERT_TRUE(track);
    std::string error;
    EXPECT_EQ(streamAll(*track, 65536, &error).size(), track->estimateLength() * 2048);
    EXPECT_EQ(error, "");
    auto dropped = track->newReader();
    std::vector<std::byte> buffer(4096);
    EXPECT_EQ(dropped->read(buffer), buffer.size());
    dropped.reset();
    track.reset();
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
}

}  // namespace
}  // namespace kilnware::test
