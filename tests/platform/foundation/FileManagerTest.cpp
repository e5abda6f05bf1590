#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <kilnware/platform/foundation/FileManager.h>

#include "platform/foundation/UniqueFd.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

using test::readFile;
using test::writeFile;

class FileManagerTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::shared_ptr<FileManager> files = FileManager::defaultManager();
};

TEST_F(FileManagerTest, RemovesTreesButNotWhatLinksInsidePointTo) {
    test::TempDir outside;
    writeFile(outside.file("keep"), "precious");
    std::string tree = dir.file("tree");
    std::filesystem::create_directories(tree + "/sub");
    writeFile(tree + "/sub/file", "x");
    ASSERT_EQ(::symlink(outside.path().c_str(), (tree + "/sub/link").c_str()), 0);

    std::string error;
    EXPECT_TRUE(files->removeItemAtPath(tree, &error)) << error;
    EXPECT_FALSE(files->fileExistsAtPath(tree));
    EXPECT_EQ(readFile(outside.file("keep")), "precious");

    // A link given directly (even with a trailing slash) goes, its target stays.
    ASSERT_EQ(::symlink(outside.path().c_str(), dir.file("link").c_str()), 0);
    EXPECT_TRUE(files->removeItemAtPath(dir.file("link") + "/", &error)) << error;
    EXPECT_EQ(readFile(outside.file("keep")), "precious");

    EXPECT_FALSE(files->removeItemAtPath(tree, &error));
    EXPECT_NE(error.find(tree), std::string::npos);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos);
    EXPECT_FALSE(files->removeItemAtPath("/", &error));
}

// A proven item goes through its folder's descriptor, only while its name there holds that very
// item, and a link inside it is removed, not followed.
TEST_F(FileManagerTest, RemovesAProvenItemOnlyAsItWasProven) {
    test::TempDir outside;
    writeFile(outside.file("keep"), "precious");
    std::filesystem::create_directories(dir.file("work/sub"));
    ASSERT_EQ(::symlink(outside.path().c_str(), dir.file("work/sub/link").c_str()), 0);
    writeFile(dir.file("image"), "made");
    const UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    auto proven = [&](const std::string& name) {
        struct stat info {};
        EXPECT_EQ(::lstat(dir.file(name).c_str(), &info), 0);
        return FileManager::ProvenItem{dir.file(name), folder.get(), name, info.st_dev,
                                       info.st_ino};
    };
    const auto image = proven("image"), work = proven("work");
    // Someone put another file at the image's name since.
    ASSERT_EQ(::rename(dir.file("image").c_str(), dir.file("image.old").c_str()), 0);
    writeFile(dir.file("image"), "someone else's");
    std::string error;
    EXPECT_FALSE(files->removeProvenItem(image, &error));
    EXPECT_EQ(readFile(dir.file("image")), "someone else's");
    EXPECT_TRUE(files->removeProvenItem(work, &error)) << error;
    EXPECT_FALSE(files->fileExistsAtPath(dir.file("work")));
    EXPECT_EQ(readFile(outside.file("keep")), "precious");
}

TEST_F(FileManagerTest, CreatesDirectoriesWithOrWithoutIntermediates) {
    std::string deep = dir.file("a/b/c");
    std::string error;
    EXPECT_FALSE(files->createDirectoryAtPath(deep, false, nullptr, &error));
    EXPECT_NE(error.find(deep), std::string::npos);
    EXPECT_FALSE(files->fileExistsAtPath(dir.file("a")));

    EXPECT_TRUE(files->createDirectoryAtPath(dir.file("a"), false, nullptr, &error)) << error;
    EXPECT_FALSE(files->createDirectoryAtPath(dir.file("a"), false, nullptr, &error));
    EXPECT_NE(error.find("File exists"), std::string::npos);

    EXPECT_TRUE(files->createDirectoryAtPath(deep, true, nullptr, &error)) << error;
    bool isDirectory = false;
    EXPECT_TRUE(files->fileExistsAtPath(deep, &isDirectory) && isDirectory);
    EXPECT_TRUE(files->createDirectoryAtPath(deep + "/", true, nullptr, &error)) << error;

    writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(files->createDirectoryAtPath(dir.file("plain/x"), true, nullptr, &error));

    Dictionary attributes{{NSFilePosixPermissions, 0700}};
    EXPECT_TRUE(files->createDirectoryAtPath(dir.file("private"), false, &attributes, &error));
    auto made = files->attributesOfItemAtPath(dir.file("private"), true);
    ASSERT_TRUE(made);
    EXPECT_EQ((*made)[NSFilePosixPermissions].uint64Value(), 0700u);
}

TEST_F(FileManagerTest, ExistenceFollowsLinksAndAttributesOnlyWhenAsked) {
    writeFile(dir.file("file"), "12345");
    ASSERT_EQ(::chmod(dir.file("file").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("file", dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("to-dir").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);

    bool isDirectory = false;
    EXPECT_TRUE(files->fileExistsAtPath(dir.file("link"), &isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_TRUE(files->fileExistsAtPath(dir.file("to-dir"), &isDirectory));
    EXPECT_TRUE(isDirectory);
    isDirectory = true;
    EXPECT_FALSE(files->fileExistsAtPath(dir.file("dangling"), &isDirectory));
    EXPECT_FALSE(isDirectory);

    auto target = files->attributesOfItemAtPath(dir.file("link"), true);
    ASSERT_TRUE(target);
    EXPECT_EQ(*(*target)[NSFileType].text(), NSFileTypeRegular);
    EXPECT_EQ((*target)[NSFileSize], Value(std::uint64_t{5}));
    EXPECT_EQ((*target)[NSFilePosixPermissions].uint64Value(), 0640u);
    EXPECT_GT((*target)[NSFileModificationDate].doubleValue(), 1e9);

    auto link = files->attributesOfItemAtPath(dir.file("link"), false);
    ASSERT_TRUE(link);
    EXPECT_EQ(*(*link)[NSFileType].text(), NSFileTypeSymbolicLink);
    EXPECT_EQ((*link)[NSFileSize].uint64Value(), 4u);  // the length of "file"

    std::string error;
    EXPECT_FALSE(files->attributesOfItemAtPath(dir.file("gone"), true, &error));
    EXPECT_NE(error.find(dir.file("gone")), std::string::npos);
}

TEST_F(FileManagerTest, WritesStringsDirectlyOrThroughARename) {
    std::string path = dir.file("out.txt");
    std::string error;
    std::string text("line\n\0binary", 12);
    for (bool atomically : {false, true}) {
        SCOPED_TRACE(atomically);
        writeFile(path, "an older and longer content");
        ASSERT_TRUE(files->writeString(text, path, atomically, &error)) << error;
        EXPECT_EQ(readFile(path), text);
        EXPECT_FALSE(files->writeString("x", dir.file("missing/out"), atomically, &error));
        EXPECT_NE(error.find(dir.file("missing/out")), std::string::npos);
    }

    // A failed atomic write leaves nothing behind.
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    EXPECT_FALSE(files->writeString("x", dir.file("folder"), true, &error));
    EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
    auto entries = std::distance(std::filesystem::directory_iterator(dir.path()),
                                 std::filesystem::directory_iterator());
    EXPECT_EQ(entries, 2);  // out.txt, folder
}

}  // namespace
}  // namespace kilnware::platform
