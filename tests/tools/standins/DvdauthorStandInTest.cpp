#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "Kilnware/VideoWork.h"
#include "ProjectFile.h"
#include "StandInRun.h"
#include "VideoFormat.h"
#include "tests/support/TestSupport.h"

namespace kilnware::test {
namespace {

const std::string kStandIn = KILNWARE_DVDAUTHOR_STANDIN;

// Clips shared by the tests of this file, made once.
struct Clips {
    TempDir dir;
    std::string pal = dir.file("pal.mpg");
    std::string ntsc = dir.file("ntsc.mpg");
    std::string film = dir.file("film.mpg");
    std::string oddSize = dir.file("odd.mpg");
    // A bare video stream: its sequence header is fine, but dvdauthor wants a program stream.
    std::string elementary = dir.file("bare.m2v");

    Clips() {
        makeClip(pal, "pal-dvd");
        makeClip(ntsc, "ntsc-dvd");
        makeClip(film, "ntsc-dvd", {"-r", "24000/1001"});
        makeClip(oddSize, "pal-dvd", {"-s", "640x480"});
        makeClip(elementary, "pal-dvd", {"-f", "mpeg2video"});
    }
};

const Clips& clips() {
    static const auto made = std::make_unique<Clips>();
    return *made;
}

// The television standard dvdauthor wrote into the first title set: 0 NTSC, 1 PAL.
int titleSetStandard(const std::string& dest) {
    std::string ifo = readFile(dest + "/VIDEO_TS/VTS_01_0.IFO");
    return ifo.size() > 0x200 ? (static_cast<unsigned char>(ifo[0x200]) >> 4) & 3 : -1;
}

class DvdauthorStandIn : public ::testing::Test {
protected:
    RunResult author(const std::vector<std::string>& videoFiles) {
        writeFile(project, video::projectFileText(dest, videoFiles));
        return runProgram(kStandIn, {"-x", project});
    }

    TempDir dir;
    std::string project = dir.file("project.xml");
    std::string dest = dir.file("disc");
};

// PAL, and NTSC where 29.97 and film rate share the standard; into a dest that XML must escape.
TEST_F(DvdauthorStandIn, AuthorsPalAndNtscProjects) {
    const std::pair<std::vector<std::string>, int> cases[] = {{{clips().pal, clips().pal}, 1},
                                                              {{clips().ntsc, clips().film}, 0}};
    for (const auto& [files, standard] : cases) {
        dest = dir.file(standard == 1 ? "pal" : "ntsc disc & more");
        RunResult made = author(files);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_TRUE(pathExists(dest + "/VIDEO_TS/VIDEO_TS.IFO"));
        EXPECT_TRUE(pathExists(dest + "/VIDEO_TS/VTS_01_1.VOB"));
        EXPECT_EQ(titleSetStandard(dest), standard);
    }
}

// Refused before dvdauthor runs, and nothing made: other usage, names that dvdauthor would run as
// commands or read otherwise than as files, links, projects that do not parse, and video it
// cannot author. The answer names the file and why.
TEST_F(DvdauthorStandIn, RefusesWhatItCannotTrustOrAuthor) {
    // A real PAL clip whose name is also a shell command: "<dir>/clip; touch <dir>/MARKER|".
    // (Handed to dvdauthor directly, such a project does run the command.)
    const std::string marker = dir.file("MARKER");
    const std::string name = dir.file("clip; touch " + marker + "|");
    std::filesystem::create_directories(std::filesystem::path(name).parent_path());
    std::filesystem::copy_file(clips().pal, name);
    const std::string commandProject = dir.file("p.xml; touch " + marker + "|");
    std::filesystem::create_directories(std::filesystem::path(commandProject).parent_path());
    // A project of `files` into `into`, at `path` or else at a path of its own.
    int projects = 0;
    auto projectOf = [&](const std::vector<std::string>& files, const std::string& into,
                         std::string path = {}) {
        if (path.empty()) {
            path = dir.file("project" + std::to_string(++projects) + ".xml");
        }
        writeFile(path, video::projectFileText(into, files));
        return path;
    };
    // A project, or a dest, put at its path as a link is not followed.
    const std::string elsewhere = dir.file("elsewhere");
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_symlink(projectOf({clips().pal}, elsewhere), dir.file("linked.xml"));
    std::filesystem::create_directory_symlink(elsewhere, dir.file("linked dest"));
    writeFile(dir.file("unclosed.xml"), "<dvdauthor dest=\"" + dest + "\"><vmgm/><titleset>");
    const std::string notVideo = dir.file("notes.mpg"), folder = dir.file("folder.mpg");
    writeFile(notVideo, std::string(100000, 'x'));
    std::filesystem::create_directory(folder);
    const std::string &pal = clips().pal, &ntsc = clips().ntsc, &odd = clips().oddSize;
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string said;
    };
    const Case cases[] = {
        {{}, 2, "usage:"},
        {{"-x"}, 2, "usage:"},
        {{"-o", project}, 2, "usage:"},
        {{"-x", project, "extra"}, 2, "usage:"},
        {{"-x", ""}, 2, "usage:"},
        {{project}, 2, "usage:"},
        {{"-x", projectOf({name}, dest)}, 1, name},
        {{"-x", projectOf({pal}, dest, commandProject)}, 1, "shell command"},
        // "-" would be standard input, "&0" too; only absolute paths are taken.
        {{"-x", "-"}, 1, ""},
        {{"-x", projectOf({"-"}, dest)}, 1, ""},
        {{"-x", projectOf({"&0.mpg"}, dest)}, 1, "only an absolute path"},
        {{"-x", projectOf({"clip.mpg"}, dest)}, 1, "only an absolute path"},
        {{"-x", projectOf({pal}, "relative/dest")}, 1, "only an absolute path"},
        {{"-x", dir.file("linked.xml")}, 1, "it is a link"},
        {{"-x", projectOf({pal}, dir.file("linked dest"))}, 1, "not a folder"},
        {{"-x", dir.file("unclosed.xml")}, 1, "not closed"},
        {{"-x", dir.file("absent.xml")}, 1, "absent.xml"},
        {{"-x", projectOf({pal, ntsc}, dest)}, 1, ntsc + ": it is NTSC"},
        {{"-x", projectOf({pal, dir.file("missing.mpg")}, dest)}, 1, "missing.mpg: No such file"},
        {{"-x", projectOf({pal, notVideo}, dest)}, 1, notVideo + ": no MPEG video sequence header"},
        {{"-x", projectOf({pal, odd}, dest)}, 1, odd + ": video of 640x480 at 25"},
        {{"-x", projectOf({pal, folder}, dest)}, 1, folder + ": not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        RunResult refused = runProgram(kStandIn, c.arguments);
        EXPECT_EQ(refused.status, c.status);
        EXPECT_NE(refused.err.find(c.said), std::string::npos) << refused.err;
        EXPECT_FALSE(pathExists(dest));
    }
    EXPECT_FALSE(pathExists(marker));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));

    // A phone's video: the one line says how to make DVD video of it, and carries no name of the
    // stand-in's own (whoever runs it puts one before it).
    const std::string phone = dir.file("VID 2024.mp4");
    writeFile(phone, "ftypisom, a phone's video");
    RunResult refused = runProgram(kStandIn, {"-x", projectOf({phone}, dest)});
    EXPECT_EQ(refused.err, "refusing video file " + phone +
                               ": no MPEG video sequence header in its first 4 MB; make DVD video "
                               "of it first, e.g. ffmpeg -i '" +
                               phone + "' -target pal-dvd '" + dir.file("VID 2024.mpg") +
                               "' (ntsc-dvd for NTSC)\n");
}

TEST_F(DvdauthorStandIn, KeepsStaleTitlesOffAndUndoesAFailedRun) {
    // dvdauthor would add its titles after these.
    std::filesystem::create_directories(dest + "/VIDEO_TS");
    writeFile(dest + "/VIDEO_TS/VTS_01_1.VOB", "old");
    RunResult stale = author({clips().pal});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("already holds files"), std::string::npos) << stale.err;
    EXPECT_EQ(readFile(dest + "/VIDEO_TS/VTS_01_1.VOB"), "old");

    // The bare stream passes the checks, and dvdauthor fails on it part way through. Its lines
    // come through as it printed them.
    std::filesystem::remove_all(dest);
    RunResult failed = author({clips().elementary});
    EXPECT_NE(failed.status, 0);
    EXPECT_FALSE(pathExists(dest)) << failed.err;
    EXPECT_TRUE(failed.err.starts_with("DVDAuthor::dvdauthor, version")) << failed.err;
    EXPECT_EQ(failed.err.find("dvdauthor: "), std::string::npos) << failed.err;

    // A dvdauthor that fails just after the folder that holds dest was swapped for a link to a
    // folder with a dest of the same name, as whoever owns it could: the undo goes where dest was
    // made, never where the link leads.
    const std::string parent = dir.file("parent"), other = dir.file("other"), bin = dir.file("bin");
    std::filesystem::create_directories(parent);
    std::filesystem::create_directories(other + "/disc");
    std::filesystem::create_directories(bin);
    writeFile(bin + "/dvdauthor", "#!/bin/sh\nmv " + parent + " " + parent + ".away && ln -s " +
                                      other + " " + parent + "\nexit 1\n");
    ::chmod((bin + "/dvdauthor").c_str(), 0755);
    writeFile(project, video::projectFileText(parent + "/disc", {clips().pal}));
    EXPECT_EQ(runProgram(kStandIn, {"-x", project}, {"PATH=" + bin + ":/usr/bin:/bin"}).status, 1);
    EXPECT_TRUE(pathExists(other + "/disc"));
    EXPECT_FALSE(pathExists(parent + ".away/disc"));

    // An existing, empty output folder stays.
    std::filesystem::create_directory(dest);
    EXPECT_NE(author({clips().elementary}).status, 0);
    EXPECT_TRUE(std::filesystem::is_empty(dest));
}

TEST(ProjectFile, ReadsTheProjectKilnwareWrites) {
    std::string error;
    auto project = standins::readProject(
        video::projectFileText("/m/a&b \"q\" <x> 'y'", {"/m/trip.mpg", "/m/été.mpg"}), error);
    ASSERT_TRUE(project) << error;
    EXPECT_EQ(project->dest, "/m/a&b \"q\" <x> 'y'");
    EXPECT_EQ(project->videoFiles, (std::vector<std::string>{"/m/trip.mpg", "/m/été.mpg"}));

    project = standins::readProject(
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- made by hand -->\n"
        "<dvdauthor dest='d'><vmgm></vmgm><titleset><titles><pgc><vob file='a&#124;&#x62;'/>"
        "</pgc><pgc><vob file=\"c\" /></pgc></titles></titleset>\n</dvdauthor>\n",
        error);
    ASSERT_TRUE(project) << error;
    EXPECT_EQ(project->videoFiles, (std::vector<std::string>{"a|b", "c"}));
}

TEST(ProjectFile, RefusesWhatItDoesNotKnow) {
    const std::string vob =
        "<titleset><titles><pgc><vob file=\"a.mpg\"/></pgc></titles></titleset>";
    struct Case {
        std::string text;
        std::string reason;
    };
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<pgc>";
    }
    const Case cases[] = {
        {"", "no <dvdauthor>"},
        {"<dvdauthor dest=\"d\"><vmgm/></dvdauthor>", "no video file"},
        {"<dvdauthor><vmgm/>" + vob + "</dvdauthor>", "needs a dest"},
        {"<dvdauthor dest=\"\"><vmgm/>" + vob + "</dvdauthor>", "needs a dest"},
        {"<dvdauthor dest=\"d\" jumppad=\"1\">" + vob + "</dvdauthor>", "jumppad"},
        {"<dvdauthor dest=\"d\" dest=\"e\">" + vob + "</dvdauthor>", "twice"},
        {"<dvdauthor dest=\"d\"><vmgm><menus/></vmgm>" + vob + "</dvdauthor>", "<menus>"},
        {"<dvdauthor dest=\"d\"><vob file=\"a.mpg\"/></dvdauthor>", "<vob> is not expected"},
        {"<dvdauthor dest=\"d\">" + vob + "</dvdauthr>", "does not close"},
        {"<dvdauthor dest=\"d\">" + vob, "not closed"},
        {"<dvdauthor dest=\"d\">" + vob + "</dvdauthor><x/>", "after </dvdauthor>"},
        {"<dvdauthor dest=\"d\">text" + vob + "</dvdauthor>", "unexpected text"},
        {"<!DOCTYPE x [<!ENTITY e \"a|\">]><dvdauthor dest=\"d\"/>", "DOCTYPE"},
        {"<dvdauthor dest=\"d\"><![CDATA[x]]>" + vob + "</dvdauthor>", "CDATA"},
        {"<dvdauthor dest=\"d\"><?pi x?>" + vob + "</dvdauthor>", "processing"},
        {"<!-- a -- b --><dvdauthor dest=\"d\">" + vob + "</dvdauthor>", "\"--\""},
        {"<!-- open <dvdauthor dest=\"d\"/>", "unterminated comment"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><dvdauthor dest=\"d\"/>", "UTF-8"},
        {"<dvdauthor dest=\"d\xC3\"/>", "not valid UTF-8"},
        {"<dvdauthor dest=\"d&unknown;\"/>", "unknown entity"},
        {"<dvdauthor dest=\"d & e\"/>", "'&'"},
        {"<dvdauthor dest=\"d&#0;\"/>", "not a character"},
        {"<dvdauthor dest=\"d&#99999999;\"/>", "out of range"},
        {"<dvdauthor dest=\"d&#x;\"/>", "malformed character reference"},
        {"<dvdauthor dest=\"a\nb\">" + vob + "</dvdauthor>", "line break"},
        {"<dvdauthor dest=\"a<b\"/>", "'<'"},
        {std::string("<dvdauthor dest=\"d") + '\0' + "\"/>", "NUL"},
        {std::string(100, '\n') + "<dvdauthor dest=\"d\"><bad/></dvdauthor>", "line 101"},
        {"<dvdauthor dest=\"d\">" + std::string(1000, '<') + "</dvdauthor>", "a name"},
        {"<dvdauthor dest=\"d\">" + deep, "nest too deeply"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(standins::readProject(c.text, error)) << c.text.substr(0, 200);
        EXPECT_NE(error.find(c.reason), std::string::npos)
            << c.text.substr(0, 200) << " -> " << error;
    }
}

TEST(VideoFormat, TellsTheStandardFromTheSequenceHeader) {
    // 00 00 01 B3, 12 bits width, 12 bits height, aspect, rate, bit rate, marker bit.
    auto header = [](int width, int height, int rate, bool marker = true) {
        std::vector<unsigned char> bytes{0x47, 0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x01, 0xB3};
        bytes.push_back(static_cast<unsigned char>(width >> 4));
        bytes.push_back(static_cast<unsigned char>(((width & 15) << 4) | (height >> 8)));
        bytes.push_back(static_cast<unsigned char>(height & 0xFF));
        bytes.push_back(static_cast<unsigned char>(0x20 | rate));
        bytes.insert(bytes.end(), {0x12, 0x34, static_cast<unsigned char>(marker ? 0x20 : 0)});
        return bytes;
    };
    struct Case {
        int width, height, rate;
        std::optional<standins::VideoStandard> standard;
    };
    using standins::VideoStandard;
    const Case cases[] = {
        {720, 576, 3, VideoStandard::PAL},  {704, 576, 3, VideoStandard::PAL},
        {352, 576, 3, VideoStandard::PAL},  {352, 288, 3, VideoStandard::PAL},
        {720, 480, 4, VideoStandard::NTSC}, {704, 480, 4, VideoStandard::NTSC},
        {352, 480, 4, VideoStandard::NTSC}, {352, 240, 4, VideoStandard::NTSC},
        {720, 480, 1, VideoStandard::NTSC}, {720, 576, 4, std::nullopt},
        {720, 576, 1, std::nullopt},        {720, 480, 3, std::nullopt},
        {720, 480, 5, std::nullopt},        {640, 480, 4, std::nullopt},
        {1920, 1080, 3, std::nullopt},      {352, 288, 4, std::nullopt},
    };
    for (const Case& c : cases) {
        auto bytes = header(c.width, c.height, c.rate);
        auto found = standins::findSequenceHeader(bytes.data(), bytes.size());
        ASSERT_TRUE(found) << c.width << "x" << c.height;
        EXPECT_EQ(found->width, c.width);
        EXPECT_EQ(found->height, c.height);
        EXPECT_EQ(found->frameRateCode, c.rate);
        EXPECT_EQ(standins::standardOf(*found), c.standard) << c.width << "x" << c.height;
    }

    // A start code without its marker bit, or cut short, is no header; the first real header
    // counts, after a false start.
    auto unmarked = header(720, 576, 3, false), cut = header(720, 576, 3), twice = unmarked;
    cut.pop_back();
    const auto ntsc = header(720, 480, 4);
    twice.insert(twice.end(), ntsc.begin(), ntsc.end());
    EXPECT_FALSE(standins::findSequenceHeader(unmarked.data(), unmarked.size()));
    EXPECT_FALSE(standins::findSequenceHeader(cut.data(), cut.size()));
    const auto found = standins::findSequenceHeader(twice.data(), twice.size());
    EXPECT_EQ(found ? found->height : 0, 480);
}

}  // namespace
}  // namespace kilnware::test
