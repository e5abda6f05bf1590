#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRTrack.h>

#include "platform/media/FilesystemImage.h"
#include "platform/media/FolderLayout.h"
#include "tests/support/ImageReadBack.h"
#include "tests/support/TestSupport.h"

namespace kilnware::test {
namespace {

using platform::DRFile;
using platform::DRFolder;
using platform::DRTrack;

// Past the 64 characters of plain Joliet, within the 103 of its long names.
const std::string kLongName =
    "A Long Mixed-Case File Name For Burning, Past The 64 Characters Of Plain Joliet.Text";
const std::string kUnicodeName = "Grüße ünïcödé.txt";
// The same name as HFS+ keeps it, decomposed.
const std::string kUnicodeNameDecomposed = "Gru\u0308\u00DFe u\u0308ni\u0308co\u0308de\u0301.txt";

bool logHas(const LogCapture& log, const std::string& text) {
    const auto lines = log.lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
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

class FilesystemImageTest : public ::testing::Test {
protected:
    // A virtual root named "Rules" holding `nodes`, for the file systems of `mask` (0: none set).
    std::shared_ptr<DRFolder> rootWith(
        std::initializer_list<std::shared_ptr<platform::DRFSObject>> nodes,
        std::uint32_t mask = platform::DRFilesystemInclusionMaskISO9660,
        const std::string& name = "Rules") {
        auto root = DRFolder::virtualFolderWithName(name);
        for (const auto& node : nodes) {
            EXPECT_TRUE(root->addChild(node));
        }
        if (mask != 0) {
            root->setExplicitFilesystemMask(mask);
        }
        return root;
    }

    std::string file(const std::string& name, const std::string& content = "content\n") {
        const std::string path = dir.file(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // Streams the track of `root` into a file, checking that it ends cleanly at the length the
    // track announced.
    std::string image(const std::shared_ptr<DRFolder>& root, const std::string& name) {
        auto track = DRTrack::trackForRootFolder(root);
        EXPECT_TRUE(track);
        if (!track) {
            return "";
        }
        EXPECT_EQ(track->kind(), DRTrack::Kind::Data);
        const std::string path = dir.file(name);
        EXPECT_EQ(writeTrack(*track, path), "");
        EXPECT_EQ(std::filesystem::file_size(path), track->estimateLength() * 2048);
        return path;
    }

    TempDir dir;
    LogCapture log;
};

std::vector<std::string> treePaths(const std::string& prefix,
                                   const std::string& unicodeName = kUnicodeName) {
    std::vector<std::string> paths = {
        "Data",  "Data/" + kLongName, "Data/" + unicodeName, "Data/Nested", "Data/Nested/deep.txt",
        "Extra", "Extra/large.bin",   "Extra/middle.bin"};
    for (auto& path : paths) {
        path = prefix + path;
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A small real tree: nested folders, a long mixed-case name, a UTF-8 name, and a pipe, which no
// disc holds. Under a virtual root, the folder "Data" and a virtual folder "Extra" with two files
// of many reads, whose sizes are off every read step and block. Each mask holds it, every file
// whole, in each of its file systems and no other; the plain ISO 9660 tree, with Rock Ridge, is
// there only with ISO 9660 or Joliet.
TEST_F(FilesystemImageTest, EachMaskHoldsTheTreeInEachOfItsFileSystems) {
    using namespace platform;
    const std::string data = dir.file("Data");
    file("Data/Nested/deep.txt", "deep content\n");
    file("Data/" + kLongName, "long name\n");
    file("Data/" + kUnicodeName, "unicode\n");
    ASSERT_EQ(::mkfifo((data + "/pipe").c_str(), 0644), 0);
    const std::string large = pattern(700'001), middle = large.substr(1000, 262'145);
    const std::string largePath = file("large.bin", large), middlePath = file("middle.bin", middle);
    const timespec when[2] = {{981'201'600, 0}, {981'201'600, 0}};  // 2001-02-03 12:00 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, largePath.c_str(), when, 0), 0);
    // What each mask holds: R Rock Ridge, P the plain ISO 9660 tree, J Joliet, U UDF, H HFS+.
    const std::pair<std::uint32_t, std::string> cases[] = {
        {DRFilesystemInclusionMaskISO9660, "RP"},
        {DRFilesystemInclusionMaskJoliet, "RPJ"},
        {DRFilesystemInclusionMaskUDF, "U"},
        {DRFilesystemInclusionMaskHFSPlus, "H"},
        {0, "RPJ"},
        {DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskISO9660, "RPU"},
        {DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskJoliet, "JU"},
        {DRFilesystemInclusionMaskJoliet | DRFilesystemInclusionMaskHFSPlus, "RPJH"},
    };
    for (const auto& [mask, holds] : cases) {
        SCOPED_TRACE(mask);
        const auto has = [&](char system) { return holds.find(system) != std::string::npos; };
        auto extra = DRFolder::virtualFolderWithName("Extra");
        ASSERT_TRUE(extra->addChild(DRFile::fileWithPath(largePath)));
        ASSERT_TRUE(extra->addChild(DRFile::fileWithPath(middlePath)));
        const std::string iso =
            image(rootWith({DRFolder::folderWithPath(data), extra}, mask, "Kiln Test"),
                  "image-" + std::to_string(mask) + ".iso");
        const std::string descriptors = runProgram("isoinfo", {"-d", "-i", iso}).out;
        EXPECT_EQ(isoPaths(iso, "").size(), has('P') ? treePaths("").size() : 0u);
        if (has('P')) {  // under the mapped upper-case names, keeping the file's time
            EXPECT_EQ(runProgram("isoinfo", {"-i", iso, "-x", "/DATA/NESTED/DEEP.TXT;1"}).out,
                      "deep content\n");
            EXPECT_TRUE(runProgram("isoinfo", {"-i", iso, "-x", "/EXTRA/LARGE.BIN;1"}).out ==
                        large);
            EXPECT_TRUE(runProgram("isoinfo", {"-i", iso, "-x", "/EXTRA/MIDDLE.BIN;1"}).out ==
                        middle);
            // isoinfo shows local time: the day is enough.
            EXPECT_NE(runProgram("isoinfo", {"-l", "-i", iso}).out.find("Feb  3 2001"),
                      std::string::npos);
            EXPECT_EQ(descriptors.find("NO Rock Ridge present") == std::string::npos, has('R'))
                << descriptors;
            EXPECT_EQ(descriptors.find("Joliet with") != std::string::npos, has('J'))
                << descriptors;
        }
        // libisofs' images carry MD5 tags; with Rock Ridge (which names the checksum array)
        // xorriso checks the session and each file by them.
        EXPECT_EQ(readFile(iso).find("libisofs_checksum_tag_v1") != std::string::npos, !has('U'));
        if (has('R') && !has('U')) {
            const auto checked =
                runProgram("xorriso", {"-md5", "on", "-indev", "stdio:" + iso, "-check_md5",
                                       "FAILURE", "--", "-check_md5_r", "FAILURE", "/", "--"});
            EXPECT_NE(checked.out.find("session data match recorded md5"), std::string::npos)
                << checked.out;
            EXPECT_NE(checked.out.find("File contents and their MD5 checksums match"),
                      std::string::npos)
                << checked.out;
        }
        if (has('R')) {
            EXPECT_EQ(isoPaths(iso, "-R"), treePaths("/"));
            EXPECT_EQ(runProgram("isoinfo", {"-R", "-i", iso, "-x", "/Data/" + kUnicodeName}).out,
                      "unicode\n");
        }
        if (has('J')) {
            EXPECT_NE(runProgram("isoinfo", {"-J", "-l", "-i", iso}).out.find("Feb  3 2001"),
                      std::string::npos);
        }
        // 7-Zip reads the Joliet tree where there is one, and shows the HFS+ volume name as the
        // top folder, with HFS+'s decomposed names.
        for (const auto& [type, present] :
             {std::pair{"Iso", has('J')}, std::pair{"Udf", has('U')}, std::pair{"HFS", has('H')}}) {
            if (!present) {
                continue;
            }
            const std::string top = type == std::string("HFS") ? "Kiln Test/" : "";
            auto expected = treePaths(top, top.empty() ? kUnicodeName : kUnicodeNameDecomposed);
            if (!top.empty()) {
                expected.insert(expected.begin(), "Kiln Test");
            }
            EXPECT_EQ(sevenZipPaths(iso, type), expected) << type;
            EXPECT_EQ(sevenZipFile(iso, type, top + "Data/Nested/deep.txt"), "deep content\n");
            EXPECT_EQ(sevenZipFile(iso, type, top + "Data/" + kLongName), "long name\n");
            EXPECT_TRUE(sevenZipFile(iso, type, top + "Extra/large.bin") == large) << type;
            EXPECT_TRUE(sevenZipFile(iso, type, top + "Extra/middle.bin") == middle) << type;
        }
    }
    EXPECT_TRUE(logHas(log, "pipe, a pipe"));
}

// Links inside a chosen folder, made by the test: to a file of the selection (relative and
// absolute), to its own folder's parent (whose other files were not chosen), to a folder of the
// selection, to a file outside it, nowhere, and to itself. None is followed: where every file
// system holds links (Rock Ridge, HFS+) each is a link; elsewhere a link to a chosen file is that
// file, and the others are left out with a warning (of Joliet alone: Rock Ridge keeps them).
// Nothing from outside ever reaches the disc, and the linked folder is not there twice.
TEST_F(FilesystemImageTest, LinksAreNeverFollowedOutOfTheSelection) {
    namespace fs = std::filesystem;
    file("outside/parent-only.txt", "PARENT-ONLY");
    const std::string secret = file("secret.txt", "SECRET-OUTSIDE");
    const std::string sel = fs::path(file("outside/sel/file.txt", "FILE-CONTENT")).parent_path();
    const std::string inner = file("outside/sel/sub/inner.txt", "INNER-CONTENT");
    const std::vector<std::pair<std::string, std::string>> links = {
        {"rel", "file.txt"}, {"abs-in", inner},  {"up", ".."},    {"dirlink", "sub"},
        {"abs", secret},     {"dangling", "no"}, {"loop", "loop"}};
    for (const auto& [name, target] : links) {
        fs::create_symlink(target, sel + "/" + name);
    }
    const std::vector<std::string> leftOut = {"abs", "dangling", "dirlink", "loop", "up"};
    std::vector<std::string> asLinks;
    for (const auto& [name, target] : links) {
        asLinks.push_back("lrwxrwxrwx " + std::to_string(::getuid()) + " " +
                          std::to_string(::getgid()) + " /Links/sel/" + name + " -> " + target);
    }
    std::sort(asLinks.begin(), asLinks.end());
    using namespace platform;
    for (const std::uint32_t mask :
         {DRFilesystemInclusionMaskISO9660, DRFilesystemInclusionMaskJoliet,
          DRFilesystemInclusionMaskUDF, DRFilesystemInclusionMaskHFSPlus}) {
        SCOPED_TRACE(mask);
        log.clear();
        auto folder = DRFolder::virtualFolderWithName("Links");
        ASSERT_TRUE(folder->addChild(DRFolder::folderWithPath(sel)));
        const std::string iso = image(rootWith({folder}, mask), "links-" + std::to_string(mask));
        const std::string bytes = readFile(iso);
        EXPECT_EQ(bytes.find("PARENT-ONLY"), std::string::npos);
        EXPECT_EQ(bytes.find("SECRET-OUTSIDE"), std::string::npos);
        EXPECT_EQ(bytes.find("INNER-CONTENT"), bytes.rfind("INNER-CONTENT"));
        std::vector<std::string> rockRidgeLinks;
        for (const std::string& item : rockRidgeItems(iso)) {
            if (item.starts_with("l")) {
                rockRidgeLinks.push_back(item);
            }
        }
        const bool joliet = mask == DRFilesystemInclusionMaskJoliet;
        if (mask == DRFilesystemInclusionMaskISO9660) {
            EXPECT_EQ(rockRidgeLinks, asLinks);
        } else if (mask == DRFilesystemInclusionMaskHFSPlus) {
            EXPECT_EQ(sevenZipFile(iso, "HFS", "Rules/Links/sel/up"), "..");
            EXPECT_EQ(sevenZipFile(iso, "HFS", "Rules/Links/sel/abs"), secret);
        } else {
            // What Windows reads: the chosen files under the links' names, nothing else.
            const std::string type = joliet ? "Iso" : "Udf";
            const auto paths = sevenZipPaths(iso, type);
            for (const std::string& name : leftOut) {
                EXPECT_EQ(std::count(paths.begin(), paths.end(), "Links/sel/" + name), 0) << name;
            }
            EXPECT_EQ(sevenZipFile(iso, type, "Links/sel/rel"), "FILE-CONTENT");
            EXPECT_EQ(sevenZipFile(iso, type, "Links/sel/abs-in"), "INNER-CONTENT");
            // Rock Ridge keeps as links, on a Joliet disc, what Joliet leaves out.
            EXPECT_EQ(rockRidgeLinks.size(), joliet ? leftOut.size() : 0u);
            for (const std::string& name : leftOut) {
                EXPECT_TRUE(logHas(log, sel + "/" + name + ", a link"))
                    << name << ::testing::PrintToString(log.lines());
            }
        }
    }
}

// Names that genisoimage cannot write into UDF (nor Joliet beside it) never fail a disc: a
// character beyond UCS-2 and those it would turn into '_' become '_', a name too long is
// shortened, and a name that then meets another gets a number, each with a warning naming the
// file. A UDF disc alone is named by its UDF name.
TEST_F(FilesystemImageTest, NamesGenisoimageCannotWriteAreReplacedAndSaid) {
    const std::string folder =
        std::filesystem::path(file("names/🎵 music.txt", "emoji")).parent_path();
    file("names/東京.txt", "tokyo");
    file("names/a:b.txt", "colon");
    file("names/a_b.txt", "underscore");
    const std::string tooLong = std::string(130, 'x') + "東.txt";
    file("names/" + tooLong, "long");
    using namespace platform;
    for (const std::uint32_t mask :
         {DRFilesystemInclusionMaskUDF,
          DRFilesystemInclusionMaskUDF | DRFilesystemInclusionMaskJoliet}) {
        SCOPED_TRACE(mask);
        log.clear();
        auto root = rootWith({DRFolder::folderWithPath(folder)}, mask, "🎵 Mix");
        auto track = DRTrack::trackForRootFolder(root);
        ASSERT_TRUE(track);
        const std::string iso = image(root, "names-" + std::to_string(mask) + ".iso");
        const bool joliet = mask != DRFilesystemInclusionMaskUDF;
        const std::string shortened =
            std::string(joliet ? 99 : 123, 'x') + ".txt";  // 103 or 127 characters
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"_ music.txt", "emoji"},
            {"東京.txt", "tokyo"},
            {"a_b.txt", "underscore"},
            {"a_b (2).txt", "colon"},
            {shortened, "long"}};
        for (const auto& [name, content] : expected) {
            EXPECT_EQ(sevenZipFile(iso, "Udf", "names/" + name), content) << name;
            if (joliet) {
                EXPECT_EQ(sevenZipFile(iso, "Iso", "names/" + name), content) << name;
            }
        }
        EXPECT_EQ(sevenZipPaths(iso, "Udf").size(), expected.size() + 1);
        for (const std::string& name :
             {std::string("🎵 music.txt"), std::string("a:b.txt"), tooLong}) {
            EXPECT_TRUE(logHas(log, folder + "/" + name + " goes on the disc as")) << name;
        }
        EXPECT_NE(runProgram("udfinfo", {iso}).out.find("\nlabel=_ Mix\n"), std::string::npos);
        EXPECT_EQ(track->volumeName(), joliet ? "🎵 Mix" : "_ Mix");
    }
}

// Rock Ridge on every ISO 9660 tree, Joliet's too: owners and modes as on disk on a data disc,
// readable by all on a disc for players. Folders below ISO 9660's eight levels are where Linux
// looks for them, and in a hidden folder, never the root, for readers without Rock Ridge; on a
// disc for players they are warned of.
TEST_F(FilesystemImageTest, RockRidgeOnEveryIso9660TreeKeepsOwnersModesAndDeepFolders) {
    const std::string mine = file("Keep/private.txt", "private");
    ASSERT_EQ(::chmod(mine.c_str(), 0640), 0);
    if (::getuid() == 0) {
        ASSERT_EQ(::chown(mine.c_str(), 1234, 5678), 0);
    }
    struct stat info {};
    ASSERT_EQ(::stat(mine.c_str(), &info), 0);
    const std::string deep = "/Keep/d1/d2/d3/d4/d5/d6/d7/d8/deep.txt";
    file(deep.substr(1), "deep");
    using namespace platform;
    struct Case {
        std::uint32_t mask;
        bool forPlayers;
        std::string hiddenFolder;  // where readers without Rock Ridge find the deep folders
    };
    const Case cases[] = {
        {DRFilesystemInclusionMaskISO9660, false, ".rr_moved/d7"},
        {DRFilesystemInclusionMaskJoliet, false, ""},
        {DRFilesystemInclusionMaskJoliet, true, ""},
        {DRFilesystemInclusionMaskISO9660 | DRFilesystemInclusionMaskUDF, false, ".rr_moved/d7"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mask) + (c.forPlayers ? " for players" : ""));
        log.clear();
        auto root = rootWith({DRFolder::folderWithPath(dir.file("Keep"))}, c.mask);
        root->setForPlayers(c.forPlayers);
        const std::string iso = image(root, "rr-" + std::to_string(c.mask) + ".iso");
        const auto items = testing::PrintToString(rockRidgeItems(iso));
        const std::string owner = c.forPlayers ? "-r--r--r-- 0 0 "
                                               : "-rw-r----- " + std::to_string(info.st_uid) + " " +
                                                     std::to_string(info.st_gid) + " ";
        EXPECT_NE(items.find(owner + "/Keep/private.txt"), std::string::npos) << items;
        EXPECT_NE(items.find(deep), std::string::npos) << items;
        // 7-Zip reads Joliet where there is one, else Rock Ridge names without relocation.
        const std::string hidden =
            c.hiddenFolder.empty() ? deep.substr(1) : c.hiddenFolder + "/d8/deep.txt";
        EXPECT_EQ(sevenZipFile(iso, "Iso", hidden), "deep");
        for (const std::string& path : isoPaths(iso, "")) {
            EXPECT_EQ(std::count(path.begin(), path.end(), '/') == 1 &&
                          path.find("D7") != std::string::npos,
                      false)
                << path;
        }
        EXPECT_EQ(logHas(log, dir.file("Keep/d1/d2/d3/d4/d5/d6/d7") + " lies deeper than"),
                  c.forPlayers);
    }
}

// HFS+ counts seconds from 1904 in 32 bits: a later date is the last it holds, with a warning,
// never one wrapped back to 1904.
TEST_F(FilesystemImageTest, DatesPastWhatHfsPlusHoldsAreClampedWithAWarning) {
    const std::string later = file("later.txt", "2050");
    const timespec when[2] = {{2'524'608'000, 0}, {2'524'608'000, 0}};  // 2050-01-01 00:00 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, later.c_str(), when, 0), 0);
    const std::string iso =
        image(rootWith({DRFile::fileWithPath(later)}, platform::DRFilesystemInclusionMaskHFSPlus),
              "hfs-dates.iso");
    const std::string listed = runProgram("7zz", {"l", "-slt", "-tHFS", iso}).out;
    EXPECT_NE(listed.find("Modified = 2040-02-06 06:28:15"), std::string::npos) << listed;
    EXPECT_TRUE(logHas(log, later + " is dated 2050-01-01 00:00:00 UTC"));
}

// Every file system streams the same bytes whatever the reader's chunks, and fails the read when a
// file is gone; UDF, made by a program of its own, leaves nothing in $TMPDIR for a tree of any
// depth, read whole, dropped half-way or failed.
TEST_F(FilesystemImageTest, EveryReaderStreamsTheSameBytesWhateverItsChunks) {
    TempDir temporary;
    ::setenv("TMPDIR", temporary.path().c_str(), 1);
    file("deep/1/2/3/4/5/6/7/8/9/bottom.txt", "deep");
    for (std::uint32_t mask : {1u, 2u, 4u, 8u}) {
        SCOPED_TRACE(mask);
        auto root = rootWith({DRFile::fileWithPath(file("a.txt", std::string(70000, 'x')))}, mask);
        if (mask == 4u) {
            ASSERT_TRUE(root->addChild(DRFolder::folderWithPath(dir.file("deep"))));
        }
        auto track = DRTrack::trackForRootFolder(root);
        ASSERT_TRUE(track);
        std::string error;
        const std::string whole = streamAll(*track, 1 << 20, &error);
        EXPECT_EQ(error, "");
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
        // A file gone after the layout fails the read, which says which file.
        std::filesystem::remove(dir.file("a.txt"));
        EXPECT_LT(streamAll(*track, 65536, &error).size(), whole.size());
        EXPECT_NE(error.find("a.txt"), std::string::npos) << error;
    }
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
}

// Where the reader takes the files from disk, it writes the checksum array and the session's tag
// in libisofs' place: byte for byte what libisofs writes when it reads and sums the files itself,
// with empty files, files of one inode, a link, files of every size around a block, and enough
// files for an array of two blocks. (One folder: libisofs numbers folders in an order of its own
// in each tree it writes.)
TEST_F(FilesystemImageTest, TheReadersChecksumsAreLibisofsOwn) {
    file("Data/first.bin", pattern(300'000));
    file("Data/empty", "");
    file("Data/also-empty", "");
    for (const std::size_t size : {1u, 19u, 20u, 2047u, 2048u, 2049u, 65'537u}) {
        file("Data/size-" + std::to_string(size), pattern(size + 3).substr(3));
    }
    for (int i = 0; i < 130; ++i) {
        file("Data/many-" + std::to_string(i), std::to_string(i));
    }
    ASSERT_EQ(::link(dir.file("Data/first.bin").c_str(), dir.file("Data/same").c_str()), 0);
    ASSERT_EQ(::symlink("first.bin", dir.file("Data/link").c_str()), 0);
    for (const std::uint32_t mask : {1u, 3u}) {
        SCOPED_TRACE(mask);
        auto root = DRFolder::folderWithPath(dir.file("Data"));
        root->setExplicitFilesystemMask(mask);
        std::string error;
        const auto layout = platform::media::layOutFolder(*root, error);
        ASSERT_TRUE(layout) << error;
        using platform::media::FilesReadBy;
        const auto fast = platform::media::makeIsoImage(*layout, error, FilesReadBy::Reader);
        const auto slow = platform::media::makeIsoImage(*layout, error, FilesReadBy::Libisofs);
        ASSERT_TRUE(fast && slow) << error;
        ASSERT_EQ(fast->blockCount(), slow->blockCount());
        std::string bytes[2];
        for (int side = 0; side < 2; ++side) {
            auto reader = (side == 0 ? fast : slow)->newReader();
            std::vector<std::byte> buffer(5000);  // across the blocks' ends
            while (const std::size_t n = reader->read(buffer)) {
                bytes[side].append(reinterpret_cast<const char*>(buffer.data()), n);
            }
            EXPECT_EQ(reader->error(), "");
        }
        EXPECT_EQ(bytes[0].size(), fast->blockCount() * 2048);
        EXPECT_TRUE(bytes[0] == bytes[1]);
        EXPECT_NE(bytes[0].find("libisofs_checksum_tag_v1"), std::string::npos);
    }
}

// genisoimage is looked up as every program is: never in a relative folder of $PATH, which would
// let the folder the host runs in choose what makes the image.
TEST_F(FilesystemImageTest, TheUdfToolIsNeverTakenFromTheFolderTheHostRunsIn) {
    const std::string fake =
        file("bin/genisoimage", "#!/bin/sh\ntouch " + dir.file("ran") + "\nexit 1\n");
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    const std::string path = ::getenv("PATH");
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ::setenv("PATH", ("bin:" + path).c_str(), 1);
    auto track = DRTrack::trackForRootFolder(
        rootWith({DRFile::fileWithPath(file("a.txt"))}, platform::DRFilesystemInclusionMaskUDF));
    ::setenv("PATH", path.c_str(), 1);
    std::filesystem::current_path(here);
    ASSERT_TRUE(track);
    EXPECT_EQ(streamAll(*track, 1 << 20).size(), track->estimateLength() * 2048);
    EXPECT_FALSE(pathExists(dir.file("ran")));
}

TEST_F(FilesystemImageTest, AFileChangedBeforeOrWhileItIsReadFailsTheReadNamingIt) {
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
        [](const std::string& path) {  // the same, its old time put back: only its change shows
            std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << "rewritten";
            const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
            ::utimensat(AT_FDCWD, path.c_str(), old, 0);
        },
        [](const std::string& path) {  // a pipe in its place, which must not stall the reader
            ::mkfifo((path + ".pipe").c_str(), 0644);
            std::filesystem::rename(path + ".pipe", path);
        }};
    // ISO 9660 streams the files itself, HFS+ through libisofs (which may have opened the file
    // already), UDF through genisoimage, which a pipe in a file's place would stall.
    for (const std::uint32_t mask : {1u, 8u, 4u}) {
        for (const std::size_t changeAfter : {64 * 1024 * std::size_t{1}, 5 * kMiB}) {
            for (std::size_t change = 0; change < changes.size(); ++change) {
                SCOPED_TRACE(std::to_string(mask) + " mask, " + std::to_string(changeAfter) +
                             " bytes, change " + std::to_string(change));
                const std::string later = file("b-later.bin", std::string(8 * kMiB, 'b'));
                // An old time, so that a rewrite within the clock's tick still shows.
                const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
                ASSERT_EQ(::utimensat(AT_FDCWD, later.c_str(), old, 0), 0);
                auto track = DRTrack::trackForRootFolder(
                    rootWith({DRFile::fileWithPath(file("a-first.bin", std::string(3 * kMiB, 'a'))),
                              DRFile::fileWithPath(later)},
                             mask));
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
                const std::string said = mask == 4u ? " has changed since the track was laid out"
                                                    : " changed while it was burned";
                EXPECT_NE(reader->error().find(later + said), std::string::npos) << reader->error();
                std::filesystem::remove(later);
            }
        }
    }
}

// The reader opens a folder's files by name in the folder, looked up once: a folder swapped for a
// link to another, whose files have the same names and sizes, is still found out.
TEST_F(FilesystemImageTest, AFolderSwappedForALinkToLookalikesFailsTheRead) {
    const std::string folder =
        std::filesystem::path(file("swapped/a.bin", std::string(70000, 'a'))).parent_path();
    file("swapped/b.txt", std::string(3000, 'b'));
    file("decoy/a.bin", std::string(70000, 'x'));
    file("decoy/b.txt", std::string(3000, 'y'));
    auto track = DRTrack::trackForRootFolder(rootWith({DRFolder::folderWithPath(folder)}));
    ASSERT_TRUE(track);
    std::filesystem::rename(folder, folder + ".old");
    std::filesystem::create_directory_symlink(dir.file("decoy"), folder);
    std::string error;
    const std::string bytes = streamAll(*track, 1 << 20, &error);
    EXPECT_NE(error.find(folder + "/a.bin changed while it was burned"), std::string::npos)
        << error;
    EXPECT_EQ(bytes.find('x'), std::string::npos);
}

TEST_F(FilesystemImageTest, PipesDevicesAndMadeUpSizesAreLeftOutNeverAnEmptyDisc) {
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
        // Alone, nothing is left: no track, and the log says why (so each was left out, not
        // refused).
        EXPECT_FALSE(DRTrack::trackForRootFolder(rootWith({c.node})));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        EXPECT_TRUE(logHas(log, "nothing is left to burn"));
    }
    platform::Log::removeSink(sink);
}

TEST_F(FilesystemImageTest, FilesGoneAndNamesTheDiscCannotHoldGiveNoTrack) {
    // A file gone before the layout.
    auto early = DRFile::fileWithPath(file("early.txt"));
    std::filesystem::remove(dir.file("early.txt"));
    EXPECT_FALSE(DRTrack::trackForRootFolder(rootWith({early})));
    EXPECT_TRUE(logHas(log, "early.txt"));

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

// A folder from disk as the root gives its contents, and its name mapped for each file system.
TEST_F(FilesystemImageTest, AFolderFromDiskAsTheRootGivesItsContentsAndItsMappedName) {
    const std::string name = "Ünïcode Volume With A Rather Long Name";
    file(name + "/w.txt");
    auto root = DRFolder::folderWithPath(dir.file(name));
    const auto make = [&](std::uint32_t mask) {
        root->setExplicitFilesystemMask(mask);
        return image(root, "volume-" + std::to_string(mask) + ".iso");
    };
    EXPECT_NE(runProgram("isoinfo", {"-d", "-i", make(1)})
                  .out.find("Volume id: _N_CODE_VOLUME_WITH_A_RATHER_LON\n"),
              std::string::npos);
    // UDF: 32 bytes of UTF-8, cut between characters.
    const std::string udf = make(4);
    EXPECT_NE(runProgram("udfinfo", {udf}).out.find("label=Ünïcode Volume With A Rather L\n"),
              std::string::npos);
    EXPECT_EQ(sevenZipPaths(udf, "Udf"), std::vector<std::string>{"w.txt"});
    EXPECT_EQ(
        sevenZipPaths(make(8), "HFS"),
        (std::vector<std::string>{"U\u0308ni\u0308code Volume With A Rather Long Name",
                                  "U\u0308ni\u0308code Volume With A Rather Long Name/w.txt"}));

    // The names a host may give its root, a single space and nothing, still make a disc.
    for (const std::string& odd : std::vector<std::string>{" ", ""}) {
        EXPECT_TRUE(
            DRTrack::trackForRootFolder(rootWith({DRFile::fileWithPath(file("o.txt"))},
                                                 platform::DRFilesystemInclusionMaskISO9660, odd)));
    }
}

}  // namespace
}  // namespace kilnware::test
