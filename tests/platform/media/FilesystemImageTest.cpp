#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRTrack.h>

#include "tests/platform/media/ImageReadBack.h"
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

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

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

TEST_F(FilesystemImageTest, JolietHoldsTheTreeAndTheIso9660TreeStaysEmpty) {
    const std::string iso = image(platform::DRFilesystemInclusionMaskJoliet);
    // 7-Zip reads the Joliet tree when there is one.
    EXPECT_EQ(sevenZipPaths(iso, "Iso"), expectedPaths(""));
    EXPECT_EQ(isoPaths(iso, ""), std::vector<std::string>{});
    EXPECT_EQ(sevenZipFile(iso, "Iso", "Data/" + kLongName), "long name\n");
    EXPECT_EQ(sevenZipFile(iso, "Iso", "Extra/single.bin"), pattern(5000));
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

TEST_F(FilesystemImageTest, NoMaskGivesIso9660AndJoliet) {
    const std::string iso = image(0);
    EXPECT_EQ(isoPaths(iso, "-R"), expectedPaths("/"));
    EXPECT_EQ(sevenZipPaths(iso, "Iso"), expectedPaths(""));
}

}  // namespace
}  // namespace kilnware::test
