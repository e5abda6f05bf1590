#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRTrack.h>

#include "tests/support/TestSupport.h"

namespace kilnware::test {
namespace {

using platform::DRFile;
using platform::DRFolder;

class DRFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("Music/Albums"));
        std::ofstream(dir.file("Music/track.mp3")) << "mp3";
        ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
    }
    TempDir dir;
};

TEST_F(DRFolderTest, NodesFromPathsNeedSomethingOfTheirKindAndKeepAnAbsolutePath) {
    EXPECT_FALSE(DRFolder::folderWithPath(dir.file("missing")));
    EXPECT_FALSE(DRFolder::folderWithPath(dir.file("Music/track.mp3")));
    EXPECT_FALSE(DRFolder::folderWithPath(""));
    EXPECT_FALSE(DRFile::fileWithPath(dir.file("missing")));
    EXPECT_FALSE(DRFile::fileWithPath(dir.file("Music")));
    // Accepted here; the layout leaves it out.
    EXPECT_TRUE(DRFile::fileWithPath(dir.file("pipe")));

    std::filesystem::create_symlink(dir.file("Music"), dir.file("link-to-music"));
    auto linked = DRFolder::folderWithPath(dir.file("link-to-music"));
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->name(), "link-to-music");

    // Named by their last component, they keep an absolute path.
    auto folder = DRFolder::folderWithPath(dir.file("Music/"));
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->name(), "Music");
    EXPECT_EQ(folder->sourcePath(), dir.file("Music"));
    EXPECT_FALSE(folder->isVirtual());

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    auto file = DRFile::fileWithPath("Music/./track.mp3");
    std::filesystem::current_path(previous);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name(), "track.mp3");
    EXPECT_EQ(file->sourcePath(), dir.file("Music/track.mp3"));
    EXPECT_FALSE(file->isFolder());

    auto root = DRFolder::virtualFolderWithName(" ");
    EXPECT_EQ(root->name(), " ");
    EXPECT_TRUE(root->isVirtual());
    EXPECT_EQ(root->sourcePath(), std::nullopt);
}

TEST_F(DRFolderTest, OnlyVirtualFoldersTakeChildrenAndNeverTheirOwnAncestors) {
    auto root = DRFolder::virtualFolderWithName("root");
    auto inner = DRFolder::virtualFolderWithName("inner");
    auto file = DRFile::fileWithPath(dir.file("Music/track.mp3"));
    auto music = DRFolder::folderWithPath(dir.file("Music"));

    EXPECT_TRUE(root->addChild(inner));
    EXPECT_TRUE(inner->addChild(file));
    EXPECT_TRUE(root->addChild(music));
    EXPECT_EQ(root->children(), (std::vector<std::shared_ptr<platform::DRFSObject>>{inner, music}));
    EXPECT_EQ(file->parent(), inner);

    EXPECT_FALSE(root->addChild(nullptr));
    EXPECT_FALSE(root->addChild(file));   // already in a folder
    EXPECT_FALSE(inner->addChild(root));  // its own ancestor
    EXPECT_FALSE(root->addChild(root));
    EXPECT_FALSE(music->addChild(DRFolder::virtualFolderWithName("x")));  // from disk
    EXPECT_EQ(root->children().size(), 2u);
    EXPECT_TRUE(music->children().empty());
    EXPECT_TRUE(platform::DRTrack::trackForRootFolder(root));
    EXPECT_FALSE(platform::DRTrack::trackForRootFolder(nullptr));
}

}  // namespace
}  // namespace kilnware::test
