// The kilnware command takes CD-Text from the files' tags where the person names none.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

namespace fs = std::filesystem;

// A two-second tone in `path`, tagged as `metadata` ("key=value") says.
void taggedTone(const std::string& path, const std::vector<std::string>& metadata) {
    std::vector<std::string> arguments{"-nostdin", "-v", "error",           "-y",  "-f",
                                       "lavfi",    "-i", "sine=duration=2", "-ac", "2"};
    for (const auto& entry : metadata) {
        arguments.insert(arguments.end(), {"-metadata", entry});
    }
    arguments.push_back(path);
    const auto made = test::runProgram("ffmpeg", arguments);
    ASSERT_EQ(made.status, 0) << made.err;
}

std::string cueIn(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".cue") {
            return test::readFile(entry.path().string());
        }
    }
    return "";
}

TEST(AudioTagsCommand, CdTextComesFromTagsWhereNoOptionNamesIt) {
    test::TempDir dir;
    const std::string out = dir.file("out");
    taggedTone(dir.file("a.flac"), {"title=Morning", "artist=The Band", "album=Days"});
    taggedTone(dir.file("b.mp3"),
               {"title=Evening\nFILE \"/etc/shadow\" BINARY", "artist=The Band", "album=Days"});
    taggedTone(dir.file("c.ogg"), {});
    taggedTone(dir.file("d.wav"), {"title=Noon"});  // an INFO list, read without FFmpeg
    auto run = test::runProgram(KILNWARE_CLI,
                                {"audio", dir.file("a.flac"), dir.file("b.mp3"), dir.file("c.ogg"),
                                 dir.file("d.wav"), "--cd-text", "--yes", "--image-dir", out});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::istringstream cue(cueIn(out));
    std::vector<std::string> lines;
    for (std::string line; std::getline(cue, line);) {
        lines.push_back(line);
    }
    const std::vector<std::string> texts = {"TITLE \"Days\"",
                                            "PERFORMER \"The Band\"",
                                            "    TITLE \"Morning\"",
                                            "    PERFORMER \"The Band\"",
                                            "    TITLE \"Evening FILE '/etc/shadow' BINARY\"",
                                            "    PERFORMER \"The Band\"",
                                            "    TITLE \"c\"",
                                            "    TITLE \"Noon\""};
    for (const auto& text : texts) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), text), lines.end()) << text;
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.starts_with("FILE "); }),
              1);

    // Names given on the command line win over the tags.
    fs::remove_all(out);
    run = test::runProgram(
        KILNWARE_CLI, {"audio", dir.file("a.flac"), "--cd-text", "--title", "Mine", "--performer",
                       "Me", "--track-title", "First", "--yes", "--image-dir", out});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string given = cueIn(out);
    for (const char* text : {"TITLE \"Mine\"", "PERFORMER \"Me\"", "TITLE \"First\""}) {
        EXPECT_NE(given.find(text), std::string::npos) << given;
    }
    EXPECT_EQ(given.find("Days"), std::string::npos) << given;
    EXPECT_EQ(given.find("The Band"), std::string::npos) << given;
}

}  // namespace
}  // namespace kilnware
