#include <dvdread/dvd_reader.h>
#include <dvdread/dvd_udf.h>
#include <dvdread/ifo_read.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "DvdLayout.h"
#include "StandInRun.h"
#include "VolumeName.h"
#include "tests/support/TestSupport.h"

namespace kilnware::test {
namespace {

const std::string kStandIn = KILNWARE_HDIUTIL_STANDIN;
const std::string kDvdauthorStandIn = KILNWARE_DVDAUTHOR_STANDIN;

std::vector<std::string> hdiutilArguments(const std::string& volumeName, const std::string& image,
                                          const std::string& folder) {
    return {"makehybrid",       "-iso",     "-joliet", "-udf", "-udf-version", "1.02",
            "-udf-volume-name", volumeName, "-o",      image,  folder};
}

// Two VIDEO_TS folders, made once: a title set without menus as kilnware's project asks for it
// (dvdauthor leaves a gap after VIDEO_TS.IFO), and menus with two title sets, by dvdauthor itself.
struct Discs {
    TempDir dir;
    std::string simple = dir.file("simple");
    std::string menus = dir.file("menus");

    Discs() {
        std::string pal = dir.file("pal.mpg");
        makeClip(pal, "pal-dvd");
        std::string project = dir.file("simple.xml");
        writeFile(project, projectXml(simple, {pal}));
        RunResult authored = runProgram(kDvdauthorStandIn, {"-x", project});
        if (authored.status != 0) {
            throw std::runtime_error("kilnware-dvdauthor: " + authored.err);
        }

        std::string longer = dir.file("longer.mpg");
        makeClip(longer, "pal-dvd", {"-t", "3"});
        project = dir.file("menus.xml");
        writeFile(project, "<dvdauthor dest=\"" + menus + "\">\n<vmgm><menus><pgc><vob file=\"" +
                               pal +
                               "\"/></pgc></menus></vmgm>\n<titleset><menus><pgc><vob file=\"" +
                               pal + "\"/></pgc></menus><titles><pgc><vob file=\"" + longer +
                               "\"/></pgc></titles></titleset>\n<titleset><titles><pgc><vob "
                               "file=\"" +
                               pal + "\"/></pgc><pgc><vob file=\"" + longer +
                               "\"/></pgc></titles></titleset>\n</dvdauthor>");
        authored = runProgram(requiredProgram("dvdauthor"), {"-x", project}, {"VIDEO_FORMAT=PAL"});
        if (authored.status != 0) {
            throw std::runtime_error("dvdauthor: " + authored.err);
        }
    }
};

const Discs& discs() {
    static const auto made = std::make_unique<Discs>();
    return *made;
}

std::uint32_t u32(const std::string& data, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(data.at(offset + i));
    }
    return value;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The volume identifiers of the primary and the Joliet descriptors, as stored.
std::pair<std::string, std::string> isoAndJolietNames(const std::string& image) {
    std::string data = readFile(image);
    std::pair<std::string, std::string> names;
    for (std::size_t sector = 16; (sector + 1) * 2048 <= data.size(); ++sector) {
        std::string descriptor = data.substr(sector * 2048, 2048);
        if (descriptor.compare(1, 5, "CD001") != 0 || descriptor[0] == '\xFF') {
            break;
        }
        if (descriptor[0] == 1) {
            names.first = descriptor.substr(40, 32);
        } else if (descriptor[0] == 2) {
            names.second = descriptor.substr(40, 32);
        }
    }
    return names;
}

class DvdImage {
public:
    explicit DvdImage(const std::string& path) : dvd_(DVDOpen(path.c_str())) {}
    ~DvdImage() {
        if (dvd_) {
            DVDClose(dvd_);
        }
    }
    DvdImage(const DvdImage&) = delete;
    DvdImage& operator=(const DvdImage&) = delete;

    dvd_reader_t* get() const { return dvd_; }
    // The sector UDF gives for a file of VIDEO_TS; 0 when UDF has no such file.
    std::uint32_t sector(const std::string& name) const {
        std::uint32_t size = 0;
        return UDFFindFile(dvd_, ("/VIDEO_TS/" + name).c_str(), &size);
    }

private:
    dvd_reader_t* dvd_;
};

// A player reaches every file through sector numbers in the IFOs, counted from VIDEO_TS.IFO; each
// must match where UDF put the file.
void expectFilesWhereTheIfosSay(const DvdImage& dvd, const std::string& videoTs) {
    std::string vmg = readFile(videoTs + "/VIDEO_TS.IFO");
    const std::uint32_t base = dvd.sector("VIDEO_TS.IFO");
    ASSERT_NE(base, 0u);
    EXPECT_EQ(dvd.sector("VIDEO_TS.BUP"), base + u32(vmg, 0x0C) - u32(vmg, 0x1C));
    if (u32(vmg, 0xC0) != 0) {
        EXPECT_EQ(dvd.sector("VIDEO_TS.VOB"), base + u32(vmg, 0xC0));
    }
    const std::size_t table = u32(vmg, 0xC4) * 2048u;
    const int titles =
        (static_cast<unsigned char>(vmg[table]) << 8) | static_cast<unsigned char>(vmg[table + 1]);
    for (int title = 0; title < titles; ++title) {
        const std::size_t entry = table + 8 + 12 * static_cast<std::size_t>(title);
        char set[4];
        std::snprintf(set, sizeof set, "%02d", static_cast<unsigned char>(vmg[entry + 6]));
        const std::string prefix = std::string("VTS_") + set + "_";
        const std::uint32_t start = dvd.sector(prefix + "0.IFO");
        EXPECT_EQ(start, base + u32(vmg, entry + 8)) << prefix;
        std::string vts = readFile(videoTs + "/" + prefix + "0.IFO");
        EXPECT_EQ(dvd.sector(prefix + "0.BUP"), start + u32(vts, 0x0C) - u32(vts, 0x1C));
        if (u32(vts, 0xC0) != 0) {
            EXPECT_EQ(dvd.sector(prefix + "0.VOB"), start + u32(vts, 0xC0)) << prefix;
        }
        EXPECT_EQ(dvd.sector(prefix + "1.VOB"), start + u32(vts, 0xC4)) << prefix;
    }
}

class HdiutilStandIn : public ::testing::Test {
protected:
    // Nothing but the image (or nothing at all) beside it: no temporary file left over.
    std::vector<std::string> outputFolder() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TempDir dir;
    std::string out = dir.file("out");
    std::string image = out + "/disc.iso";

    void SetUp() override { std::filesystem::create_directory(out); }
};

// Without menus and with menus and two title sets. The volume names have a test of their own.
TEST_F(HdiutilStandIn, MakesAHybridImageThatAPlayerCanRead) {
    for (const auto& [folder, titleSets] :
         {std::pair<std::string, int>{discs().simple, 1}, {discs().menus, 2}}) {
        SCOPED_TRACE(folder);
        std::filesystem::remove(image);
        RunResult made = runProgram(kStandIn, hdiutilArguments("T", image, folder));
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(outputFolder(), std::vector<std::string>{"disc.iso"});

        RunResult udf = runProgram(requiredProgram("udfinfo"), {image});
        EXPECT_NE(udf.out.find("\nudfrev=1.02\n"), std::string::npos) << udf.out << udf.err;
        RunResult joliet = runProgram(requiredProgram("isoinfo"), {"-J", "-l", "-i", image});
        EXPECT_NE(joliet.out.find("Directory listing of /VIDEO_TS/"), std::string::npos);
        EXPECT_NE(joliet.out.find("VTS_01_1.VOB"), std::string::npos) << joliet.out;
        RunResult iso = runProgram(requiredProgram("isoinfo"), {"-l", "-i", image});
        // The padding that fills the gaps is in no directory, only its sectors are.
        EXPECT_EQ(lowered(joliet.out + iso.out).find("kilnware"), std::string::npos) << iso.out;
        EXPECT_EQ(lowered(readFile(image)).find("kilnware"), std::string::npos);

        DvdImage dvd(image);
        ASSERT_TRUE(dvd.get());
        expectFilesWhereTheIfosSay(dvd, folder + "/VIDEO_TS");
        ifo_handle_t* vmg = ifoOpen(dvd.get(), 0);
        ASSERT_TRUE(vmg);
        EXPECT_EQ(vmg->vmgi_mat->vmg_nr_of_title_sets, titleSets);
        ifoClose(vmg);
        dvd_file_t* title = DVDOpenFile(dvd.get(), 1, DVD_READ_TITLE_VOBS);
        ASSERT_TRUE(title);
        std::string source = readFile(folder + "/VIDEO_TS/VTS_01_1.VOB");
        ASSERT_GE(source.size(), 32u * 2048);
        std::vector<unsigned char> blocks(32 * 2048);
        EXPECT_EQ(DVDReadBlocks(title, 0, 32, blocks.data()), 32);
        EXPECT_EQ(std::string(blocks.begin(), blocks.end()), source.substr(0, blocks.size()));
        DVDCloseFile(title);
    }
}

TEST_F(HdiutilStandIn, NamesEachFileSystemWithinItsLimits) {
    std::string folder = dir.file("files");
    std::filesystem::create_directory(folder);
    const std::string longName =
        "Été 2024 — un nom de fichier assez long pour dépasser soixante-quatre caractères.txt";
    writeFile(folder + "/" + longName, "souvenirs");

    // 34 characters, 40 bytes.
    const std::string title = "Été à la plage — vidéos de famille";
    RunResult made = runProgram(kStandIn, hdiutilArguments(title, image, folder));
    ASSERT_EQ(made.status, 0) << made.err;
    auto [isoName, jolietName] = isoAndJolietNames(image);
    EXPECT_EQ(isoName, "_T____LA_PLAGE___VID_OS_DE_FAMIL");
    EXPECT_EQ(jolietName,
              std::string("\0\xC9\0t\0\xE9\0 \0\xE0\0 \0l\0a\0 \0p\0l\0a\0g\0e\0 \x20\x14", 32));
    RunResult udf = runProgram(requiredProgram("udfinfo"), {image});
    // genisoimage's UDF name: the whole characters of the first 32 bytes.
    EXPECT_NE(udf.out.find("\nlabel=" + standins::cutUtf8(title, 32) + "\n"), std::string::npos)
        << udf.out;
    // isoinfo shows Joliet names in Latin-1, where the dash has no place.
    RunResult joliet = runProgram(requiredProgram("isoinfo"), {"-J", "-l", "-i", image});
    EXPECT_NE(joliet.out.find("\xC9t\xE9 2024 _ un nom de fichier assez long pour d\xE9passer "
                              "soixante-quatre caract\xE8res.txt"),
              std::string::npos)
        << joliet.out;

    std::filesystem::remove(image);
    made = runProgram(kStandIn, hdiutilArguments("", image, folder));
    ASSERT_EQ(made.status, 0) << made.err;
    udf = runProgram(requiredProgram("udfinfo"), {image});
    EXPECT_NE(udf.out.find("\nlabel=\n"), std::string::npos) << udf.out;
    EXPECT_EQ(isoAndJolietNames(image).first, std::string(32, ' '));
}

TEST_F(HdiutilStandIn, RefusesAnyOtherArgumentVector) {
    const std::string& folder = discs().simple;
    auto arguments = hdiutilArguments("T", image, folder);
    std::vector<std::vector<std::string>> wrong = {{}, {"makehybrid"}};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        auto fewer = arguments;
        fewer.erase(fewer.begin() + static_cast<long>(i));
        wrong.push_back(fewer);
        if (i != 7 && i != 9 && i != 10) {  // the name, the image and the folder are free
            auto changed = arguments;
            changed[i] = changed[i] == "-iso" ? "-hfs" : changed[i] + "x";
            wrong.push_back(changed);
        }
    }
    auto more = arguments;
    more.push_back("-ov");
    wrong.push_back(more);
    auto noImage = arguments;
    noImage[9] = "";
    wrong.push_back(noImage);
    for (const auto& vector : wrong) {
        RunResult usage = runProgram(kStandIn, vector);
        EXPECT_EQ(usage.status, 2) << ::testing::PrintToString(vector);
        EXPECT_NE(usage.err.find("usage:"), std::string::npos) << usage.err;
    }
    EXPECT_TRUE(outputFolder().empty());
}

TEST_F(HdiutilStandIn, FailsWithoutLeavingAnImageOrTakingOneAway) {
    std::string notAFolder = dir.file("file");
    writeFile(notAFolder, "x");
    // genisoimage itself gives up on two names Joliet cannot tell apart.
    std::string clash = dir.file("clash");
    std::filesystem::create_directory(clash);
    writeFile(clash + "/" + std::string(105, 'x') + "1", "a");
    writeFile(clash + "/" + std::string(105, 'x') + "2", "b");
    // A VIDEO_TS whose IFO is not one cannot be laid out.
    std::string broken = dir.file("broken");
    std::filesystem::copy(discs().simple, broken, std::filesystem::copy_options::recursive);
    writeFile(broken + "/VIDEO_TS/VIDEO_TS.IFO", "DVDVIDEO-VMG");
    // IFOs that place a title set over the files before it, or far past any disc.
    auto withTitleSetAt = [this](const std::string& name, std::uint32_t start) {
        std::string copy = dir.file(name);
        std::filesystem::copy(discs().simple, copy, std::filesystem::copy_options::recursive);
        std::string vmg = readFile(copy + "/VIDEO_TS/VIDEO_TS.IFO");
        const std::size_t entry = u32(vmg, 0xC4) * 2048u + 8;
        for (std::size_t i = 0; i < 4; ++i) {
            vmg[entry + 8 + i] = static_cast<char>(start >> (24 - 8 * i));
        }
        writeFile(copy + "/VIDEO_TS/VIDEO_TS.IFO", vmg);
        return copy;
    };
    std::string missing = dir.file("missing");
    std::filesystem::copy(discs().simple, missing, std::filesystem::copy_options::recursive);
    std::filesystem::remove(missing + "/VIDEO_TS/VTS_01_1.VOB");

    struct Case {
        std::string folder;
        std::string reason;
    };
    const Case cases[] = {
        {dir.file("absent"), "No such file"},
        {notAFolder, "not a folder"},
        {clash, "genisoimage failed"},
        {broken, "cut short"},
        {missing, "VTS_01_1.VOB is missing"},
        {withTitleSetAt("overlap", 2), "VTS_01_0.IFO should start 2 sectors after"},
        {withTitleSetAt("far", 0x7FFFFFFF), "beyond the end of the largest DVD"},
        // A few kilobytes of files whose IFO asks for 200 MB of gaps.
        {withTitleSetAt("gaps", 100000), "sectors of gaps between files"},
        {dir.path(), "inside"},
    };
    for (const Case& c : cases) {
        RunResult failed = runProgram(kStandIn, hdiutilArguments("T", image, c.folder));
        EXPECT_EQ(failed.status, 1) << c.folder;
        EXPECT_NE(failed.err.find(c.reason), std::string::npos) << failed.err;
        EXPECT_TRUE(outputFolder().empty()) << c.folder;
    }

    RunResult noParent =
        runProgram(kStandIn, hdiutilArguments("T", dir.file("nowhere/disc.iso"), discs().simple));
    EXPECT_EQ(noParent.status, 1);
    EXPECT_FALSE(pathExists(dir.file("nowhere")));

    // What stands at the image's name stays as it was.
    writeFile(image, "earlier image");
    RunResult existing = runProgram(kStandIn, hdiutilArguments("T", image, discs().simple));
    EXPECT_EQ(existing.status, 1);
    EXPECT_NE(existing.err.find("already exists"), std::string::npos) << existing.err;
    EXPECT_EQ(readFile(image), "earlier image");
    std::filesystem::remove(image);
    std::filesystem::create_directory(image);
    EXPECT_EQ(runProgram(kStandIn, hdiutilArguments("T", image, discs().simple)).status, 1);
    EXPECT_TRUE(std::filesystem::is_empty(image));
    EXPECT_EQ(outputFolder(), std::vector<std::string>{"disc.iso"});
}

TEST(VolumeName, CutsWhereEachFileSystemEnds) {
    EXPECT_EQ(standins::isoVolumeIdentifier(std::u32string(40, U'k')), std::string(32, 'K'));
    // Joliet is UCS-2: a character past it becomes '_'.
    EXPECT_EQ(standins::jolietVolumeIdentifier(U"A\U0001F600").substr(0, 4),
              std::string("\0A\0_", 4));
    EXPECT_EQ(standins::jolietVolumeIdentifier(std::u32string(20, U'é')).size(), 32u);
    EXPECT_EQ(standins::cutUtf8("aé", 2), "a");
    EXPECT_EQ(standins::cutUtf8("a€b", 3), "a");
    EXPECT_EQ(standins::cutUtf8("a€b", 4), "a€");
}

}  // namespace
}  // namespace kilnware::test
