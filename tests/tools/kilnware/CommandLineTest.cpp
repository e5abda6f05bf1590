// The kilnware command's line, read in-process, and every list it accepts run as the program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"
#include "tools/kilnware/CommandLine.h"
#include "tools/kilnware/ProgressLine.h"

namespace kilnware::cli {
namespace {

struct Said {
    Parsed parsed;
    std::string out;
    std::string err;
};

Said parse(const std::vector<std::string>& arguments) {
    std::ostringstream out, err;
    Said said{parseCommandLine(arguments, out, err), {}, {}};
    said.out = out.str();
    said.err = err.str();
    return said;
}

// The options a command's --help lists.
std::vector<std::string> optionsOf(const std::string& command) {
    const std::string help = parse({command, "--help"}).out;
    std::set<std::string> found;
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return {found.begin(), found.end()};
}

class CommandLine : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string folder = dir.file("folder");
    std::string file = dir.file("tone.wav");

    void SetUp() override {
        std::filesystem::create_directories(folder + "/VIDEO_TS");
        std::ofstream(folder + "/VIDEO_TS/VIDEO_TS.IFO") << "ifo";
        test::writeCDWav(file, 44100);
    }
    // What each command names when it is given what it needs.
    std::vector<std::string> needs(const std::string& command) const {
        if (command == "data" || command == "mp3" || command == "video-ts") {
            return {folder};
        }
        if (command == "audio" || command == "video" || command == "image") {
            return {file};
        }
        return {};
    }
};

// Every command with its arguments missing, doubled, unknown and malformed: a mistake is one line
// and exit status 2, read without a crash; and every list the parser accepts runs to an exit
// status from 0 to 3.
TEST_F(CommandLine, GeneratedArgumentListsEndInOneLineOrRunToAnExitStatus) {
    const std::vector<std::string> commands = {"devices", "data",     "mp3",   "audio",
                                               "video",   "video-ts", "image", "info",
                                               "ls",      "check",    "erase", "eject"};
    const std::vector<std::string> values = {
        "", "nan", "inf", "-1", "0", "1e-9", "abc", "1e400", "99999999999999999999", "--yes", "4"};
    std::vector<std::vector<std::string>> lists = {{}, {"dat"}, {"--bogus"}, {"erse", "--yes"}};
    for (const auto& command : commands) {
        const auto needed = needs(command);
        lists.push_back({command});
        lists.push_back({command, "--bogus"});
        lists.push_back({command, "-q"});
        lists.push_back({command, "--", "--yes"});
        auto twice = std::vector<std::string>{command};
        for (int i = 0; i < 2; ++i) {
            twice.insert(twice.end(), needed.begin(), needed.end());
        }
        lists.push_back(twice);
        for (const auto& option : optionsOf(command)) {
            if (option == "--help" || option == "--watch" || option == "--version") {
                continue;  // --watch runs until stopped
            }
            auto base = std::vector<std::string>{command};
            base.insert(base.end(), needed.begin(), needed.end());
            auto alone = base;
            alone.push_back(option);
            lists.push_back(alone);
            for (const auto& value : values) {
                auto with = base;
                with.insert(with.end(), {option, value});
                lists.push_back(with);
                auto joined = base;
                joined.push_back(option + "=" + value);
                lists.push_back(joined);
            }
            auto repeated = base;
            repeated.insert(repeated.end(), {option, "4", option, "4"});
            lists.push_back(repeated);
        }
    }
    // The lists the parser accepts, one of each command and option: the command runs them.
    std::vector<std::vector<std::string>> accepted;
    std::set<std::string> tried;
    for (const auto& list : lists) {
        SCOPED_TRACE(::testing::PrintToString(list));
        const Said said = parse(list);
        if (said.parsed.request) {
            const auto option = std::find_if(
                list.begin(), list.end(), [](const std::string& a) { return a.starts_with("-"); });
            const std::string key =
                list.front() +
                (option == list.end() ? "" : " " + option->substr(0, option->find('=')));
            if (tried.insert(key).second) {
                accepted.push_back(list);
            }
            continue;
        }
        ASSERT_TRUE(said.parsed.status == kSucceeded || said.parsed.status == kUsage);
        if (said.parsed.status == kUsage) {
            EXPECT_EQ(std::count(said.err.begin(), said.err.end(), '\n'), 1) << said.err;
            EXPECT_TRUE(said.err.starts_with("kilnware")) << said.err;
            EXPECT_LT(said.err.size(), 260u) << said.err;  // no 309-digit number
        }
    }
    EXPECT_GT(accepted.size(), 60u);
    for (auto list : accepted) {
        SCOPED_TRACE(::testing::PrintToString(list));
        const bool burns = !needs(list.front()).empty();
        // A burn is laid out only, or refused for --simulate on the image recorder.
        if (burns && std::find(list.begin(), list.end(), "--simulate") == list.end()) {
            list.push_back("--dry-run");
        }
        list.insert(list.end(), {"--image-dir", dir.file("out"), "--json"});
        const auto run = test::runProgram(KILNWARE_CLI, list);
        EXPECT_GE(run.status, 0);
        EXPECT_LE(run.status, 3) << run.err;
        if (run.status == 1 || run.status == 3) {
            EXPECT_NE(run.out.find("\"event\":\"result\""), std::string::npos) << run.out;
        }
    }
}

// Mistakes people make, each with the answer it gets; and what an option implies.
TEST_F(CommandLine, MistakesGetAnAnswerThatSaysWhatToDo) {
    struct Case {
        std::vector<std::string> arguments;
        std::string said;  // on standard error; empty for a list that runs
    };
    const Case cases[] = {
        {{"dat", folder}, "there is no command \"dat\": did you mean \"data\"?"},
        {{}, "which command?"},
        {{"image"}, "name the disc image to burn"},
        {{"video-ts"}, "name the folder that holds VIDEO_TS"},
        {{"video-ts", file}, "is no folder"},
        {{"audio", folder}, "is a folder: name the files in it"},
        {{"data", dir.file("nothere")}, "nothere: there is no such file or folder"},
        {{"data", folder, "--speed", "0"}, "--speed: 0 is no speed"},
        {{"data", folder, "--speed", "nan"}, "--speed: nan is no speed"},
        {{"data", folder, "--spead", "4"}, "no option --spead for data: did you mean --speed?"},
        {{"data", folder, "--title", "x"}, "(mp3, audio, video and video-ts take it)"},
        {{"data", folder, "--name", "a", "--name", "b"}, "--name is given more than once"},
        {{"image", file, file}, "name one file only"},
        {{"audio", file, "--track-title", "a", "--track-title", "b"},
         "2 times --track-title for 1 file"},
        {{"audio", file, "--pregap", "-1"}, "-1 is no pre-gap"},
        {{"erase", "--fast", "--full"}, "--fast and --full: choose one"},
        {{"data", folder, "--fs", "ntfs"},
         "--fs: ntfs is none of its values: give iso9660, joliet, udf or hfsplus"},
        {{"eject", "now"}, "eject takes no files or folders, so not: now"},
        {{"data", folder, "--simulate", "--dry-run"}, "choose one"},
        {{"mp3", folder, "--simulate", "--verify"}, "choose one"},
        {{"data", folder, "--speed", "1e-9"}, ""},  // the medium decides
        {{"ls"}, "name a disc image, or a recorder with --recorder"},
        {{"ls", dir.file("nothere.iso")}, "nothere.iso: there is no such file"},
        {{"ls", file, "/a", "/b"}, "ls takes one image and one path at most, so not: /b"},
        {{"check", folder}, "is a folder: name the disc image file"},
        {{"check", file, "--recorder", "stdio:" + file}, "name no disc image as well"},
        {{"ls", file, "/a", "--recorder", "stdio:" + file}, "name only the folder to list"},
        {{"data", folder, "--append", "--overwrite"}, "choose one"},
        {{"mp3", folder, "--replace"}, "--replace goes with --append"},
        {{"audio", file, "--append"}, "(data and mp3 take it)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const Said said = parse(c.arguments);
        EXPECT_EQ(said.parsed.status, c.said.empty() ? kSucceeded : kUsage);
        EXPECT_EQ(said.parsed.request.has_value(), c.said.empty());
        EXPECT_NE(said.err.find(c.said), std::string::npos) << said.err;
    }
    // A disc title goes on an audio CD only as CD-Text: asking for one asks for CD-Text, and the
    // person is told.
    const Said titled = parse({"audio", file, "--title", "Mix"});
    ASSERT_TRUE(titled.parsed.request);
    EXPECT_TRUE(titled.parsed.request->audio.cdText);
    ASSERT_EQ(titled.parsed.request->notes.size(), 1u);
    EXPECT_NE(titled.parsed.request->notes.front().find("CD-Text"), std::string::npos);
}

// The progress line fits every width, keeps the percentage and the state, and shows everything
// where there is room.
TEST(ProgressLine, FitsTheTerminalAndDropsTheLeastNeededFirst) {
    const Progress progress{0.42, "TrackWrite", 309'000'000, 736'000'000, 4, 83};
    for (std::size_t width = 1; width <= 200; ++width) {
        SCOPED_TRACE(width);
        const std::string line = progressLine(progress, width, true);
        EXPECT_LT(line.size(), std::max<std::size_t>(width, 2));
        if (width > 16) {
            EXPECT_NE(line.find(" 42% TrackWrite"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(progressLine(progress, 50, true),
              "[#####---------]  42% TrackWrite  4.0x  1:23 left");
    EXPECT_EQ(progressLine(progress, 120, true),
              "[############------------------]  42% TrackWrite  295 of 702 MB  4.0x  1:23 left");
    EXPECT_EQ(progressLine(progress, 80, false), " 42% TrackWrite  295 of 702 MB  4.0x  1:23 left");
}

}  // namespace
}  // namespace kilnware::cli
