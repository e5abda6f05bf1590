// The kilnware command, run as a program on the image recorder.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <tuple>

#include "Kilnware/VideoWork.h"
#include "tests/support/CdrdaoToc.h"
#include "tests/support/ImageReadBack.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"
#include "tests/tools/standins/StandInRun.h"

namespace kilnware {
namespace {

using nlohmann::json;
using test::RunResult;
using test::TempDir;
namespace fs = std::filesystem;

class Command : public ::testing::Test {
protected:
    TempDir dir;
    std::string out = dir.file("out");

    void SetUp() override {
        fs::create_directories(dir.file("folder/sub"));
        std::ofstream(dir.file("folder/sub/a.txt")) << "hello";
    }
    RunResult kilnware(std::vector<std::string> arguments) {
        return test::runProgram(KILNWARE_CLI, arguments);
    }
    std::vector<std::string> written() const {
        std::vector<std::string> names;
        if (fs::exists(out)) {
            for (const auto& entry : fs::directory_iterator(out)) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Every line of a --json run is one JSON object; the events, in order.
std::vector<json> events(const std::string& output) {
    std::vector<json> parsed;
    for (const std::string& line : test::lines(output)) {
        parsed.push_back(json::parse(line));  // throws, failing the test, on a broken line
    }
    return parsed;
}

// A WAV of CD audio lasting `seconds`, silent, its samples a hole in the file: cheap to make
// whatever its length. libsndfile writes the header; its two sizes are set to the length.
void sparseCDWav(const std::string& path, std::uint32_t seconds) {
    test::writeCDWav(path, 0);
    std::string header = test::readFile(path);
    ASSERT_EQ(header.substr(36, 4), "data");
    const std::uint32_t bytes = seconds * 176'400;
    for (const auto& [at, value] : {std::pair{4, 36 + bytes}, std::pair{40, bytes}}) {
        for (int i = 0; i < 4; ++i) {
            header[static_cast<std::size_t>(at + i)] = static_cast<char>(value >> (8 * i) & 0xff);
        }
    }
    test::writeFile(path, header.substr(0, 44));
    fs::resize_file(path, 44 + std::uint64_t{bytes});
}

// Each medium of the image recorder, with its true capacity, takes a data disc; each file system
// reads back with a reader of its own. A UDF disc is named as UDF holds its name (32 bytes).
TEST_F(Command, DataDiscsOnEveryMediumReadBackWithTheirOwnReaders) {
    struct Case {
        const char* medium;
        const char* capacity;
        const char* fileSystem;
        std::string tree;  // isoinfo's "-R" or "-J", or 7-Zip's type
        std::string name = "Disc";
        std::string image = "Disc.iso";
    };
    const Case cases[] = {{"cd-r", "736.97 MB", "iso9660", "-R"},
                          {"cd-rw", "736.97 MB", "joliet", "-J"},
                          {"dvd-r", "4.71 GB", "udf", "Udf"},
                          {"dvd+r", "4.70 GB", "hfsplus", "HFS"},
                          {"dvd-r-dl", "8.54 GB", "udf", "Udf", "A Disc Named Longer Than 32 Bytes",
                           "A Disc Named Longer Than 32 Byte.iso"},
                          {"dvd-rw", "4.71 GB", "iso9660", "-R"},
                          {"bd-r", "25.03 GB", "hfsplus", "HFS"},
                          {"bd-re", "25.03 GB", "joliet", "-J"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.medium);
        auto shown = kilnware({"devices", "--image-medium", c.medium});
        EXPECT_NE(shown.out.find(std::string("Capacity:    ") + c.capacity), std::string::npos)
            << shown.out;
        fs::remove_all(out);
        auto run = kilnware({"data", dir.file("folder"), "--name", c.name, "--fs", c.fileSystem,
                             "--yes", "--image-medium", c.medium, "--image-dir", out});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(written(), std::vector<std::string>{c.image});
        const std::string image = out + "/" + c.image;
        const auto paths = c.tree.starts_with("-") ? test::isoPaths(image, c.tree)
                                                   : test::sevenZipPaths(image, c.tree);
        EXPECT_TRUE(std::any_of(paths.begin(), paths.end(), [](const std::string& path) {
            return path.find("sub/a.txt") != std::string::npos;
        })) << ::testing::PrintToString(paths);
    }
}

// Video DVDs, on a DVD, through the real authoring programs: from an MPEG file, and from a folder
// that the authoring stand-in prepared, which stays the host's.
TEST_F(Command, VideoDvdImagesFromAnMpegFileAndAPreparedFolder) {
    const std::string clip = dir.file("clip.mpg"), prepared = dir.file("prepared");
    test::makeClip(clip, "pal-dvd");
    const char* standIns = std::getenv("KILNWARE_STANDIN_DIR");
    ASSERT_TRUE(standIns) << "run through ctest, which names the stand-ins' folder";
    test::writeFile(dir.file("p.xml"), video::projectFileText(prepared, {clip}));
    auto made =
        test::runProgram(std::string(standIns) + "/kilnware-dvdauthor", {"-x", dir.file("p.xml")});
    ASSERT_EQ(made.status, 0) << made.err;
    for (const auto& [route, input, title] :
         {std::tuple<const char*, std::string, std::string>{"video", clip, "Summer"},
          {"video-ts", prepared, "Folder"}}) {
        SCOPED_TRACE(route);
        auto run = kilnware({route, input, "--title", title, "--yes", "--image-medium", "dvd-r",
                             "--image-dir", out});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        const std::string image = out + "/" + title + ".iso";
        auto udf = test::runProgram("udfinfo", {image});
        EXPECT_NE(udf.out.find("label=" + title), std::string::npos) << udf.out;
        const auto joliet = test::isoPaths(image, "-J");
        EXPECT_NE(std::find(joliet.begin(), joliet.end(), "/VIDEO_TS/VTS_01_1.VOB"), joliet.end());
    }
    EXPECT_EQ(written(), (std::vector<std::string>{"Folder.iso", "Summer.iso"}));
    // The work files beside the clip are gone; the clip and the prepared folder stay.
    EXPECT_FALSE(fs::exists(dir.file("clip.iso")));
    EXPECT_FALSE(fs::exists(dir.file("clip")));
    EXPECT_FALSE(fs::exists(dir.file(".clip.iso.kilnware-work")));
    EXPECT_TRUE(fs::exists(clip));
    EXPECT_TRUE(fs::exists(prepared + "/VIDEO_TS/VTS_01_1.VOB"));
}

// Refused with a clear answer, nothing written: the command's usage, sheets and media it cannot
// take, an image folder inside the video work folder (removed after the burn), recorders it
// does not know. No control character of the input reaches the terminal.
TEST_F(Command, BadInputGetsAClearAnswerAndWritesNothing) {
    std::ofstream(dir.file("notes.txt")) << "not audio";
    const std::string trip = dir.file("trip.mpg"), tone = dir.file("tone.wav");
    std::ofstream(trip) << "mpeg";
    std::ofstream(dir.file("VID_2024.mp4")) << "a phone's video";
    std::ofstream(dir.file("outside.cue")) << "FILE \"../etc/passwd\" BINARY\n  TRACK 01 AUDIO\n"
                                              "    INDEX 01 00:00:00\n";
    std::ofstream(dir.file("escape.cue")) << "\x1b]0;owned\x07 X\n";
    test::writeCDWav(tone, 44100);
    fs::create_symlink(dir.file("trip/out"), dir.file("later"));
    const std::string folder = dir.file("folder");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string said;  // on standard error, or output for a refused medium
    };
    // (The parser's answers are CommandLineTest's; these show the program's status for them.)
    const Case cases[] = {
        {{"data", dir.file("nothere"), "--yes"}, 2, "nothere"},
        {{"audio", "--yes"}, 2, "name the audio files"},
        {{"audio", dir.file("notes.txt"), "--yes"}, 3, "notes.txt is no audio that can be read"},
        // An audio CD keeps the library's own policy; every other burn takes DVDs and BDs too.
        {{"audio", tone, "--yes", "--image-medium", "dvd-r"}, 3, "That's not a writable CD!"},
        {{"data", folder, "--yes", "--recorder", "Plexwriter"},
         3,
         "No recorder is named \"Plexwriter\""},
        // Every command refuses a recorder it cannot find alike, saying why.
        {{"eject", "--recorder", "Plexwriter"}, 3, "No recorder is named"},
        {{"ls", "--recorder", "Plexwriter"}, 3, "No recorder is named"},
        {{"info", "--recorder", "stdio:" + dir.file("none/disc.iso")},
         3,
         "cannot be used as a recorder: there is no folder " + dir.file("none")},
        {{"check", "--recorder", "stdio:" + folder}, 3, "is a folder: name a file in it"},
        // A file read that is no disc image fails the reading.
        {{"ls", dir.file("notes.txt")}, 1, "notes.txt holds no ISO 9660 session to read."},
        // A write-once disc is refused in the setup panel, with what would do.
        {{"erase", "--yes"}, 3, "no medium this command can erase"},
        {{"data", folder}, 3, "Pass --yes"},
        {{"burn-everything"}, 2, ""},
        // Refused after the command line was read: a result, and exit status 3.
        {{"image", dir.file("folder/sub/a.txt"), "--yes"}, 3, "is no disc image"},
        {{"image", dir.file("outside.cue"), "--yes"}, 3, "beside the cue sheet"},
        {{"image", dir.file("escape.cue"), "--yes"}, 3, ""},
        {{"data", folder, "--yes", "--speed", "1e-9"}, 3, "at 1x to 52x: --speed 1e-09 is slower"},
        {{"data", folder, "--yes", "--simulate"}, 3, "cannot simulate"},
        // The library's reason, not its "burn is nil": what the authoring tool said, with how to
        // make DVD video of a phone's.
        {{"video", dir.file("VID_2024.mp4"), "--yes"},
         3,
         "no MPEG video sequence header in its first 4 MB; make DVD video of it first, e.g. "
         "ffmpeg -i " +
             dir.file("VID_2024.mp4") + " -target pal-dvd " + dir.file("VID_2024.mpg")},
        {{"video", trip, "--yes", "--image-dir", dir.file("trip")}, 2, "work folder"},
        {{"video", trip, "--yes", "--image-dir", dir.file("trip/out")}, 2, "work folder"},
        // A link that leads nowhere yet (later, into the work folder) is no folder to check.
        {{"video", trip, "--yes", "--image-dir", dir.file("later")}, 2, "cannot be used"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        if (std::find(c.arguments.begin(), c.arguments.end(), "--image-dir") == c.arguments.end()) {
            c.arguments.insert(c.arguments.end(), {"--image-dir", out});
        }
        auto run = kilnware(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE((run.err + run.out).find(c.said), std::string::npos) << run.err << run.out;
        EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
    }
    EXPECT_EQ(written(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir.file("trip")));
    // The tool's own line is for -v only, and then in the log once, after the tool's name.
    const std::string toolLine = "dvdauthor: refusing video file " + dir.file("VID_2024.mp4");
    auto quiet = kilnware({"video", dir.file("VID_2024.mp4"), "--yes", "--image-dir", out});
    EXPECT_EQ(quiet.err.find(toolLine), std::string::npos) << quiet.err;
    auto verbose = kilnware({"video", dir.file("VID_2024.mp4"), "--yes", "-v", "--image-dir", out});
    // The log is written on a thread of its own, so its line may come before or after the verdict.
    EXPECT_NE(("\n" + verbose.err).find("\n" + toolLine + ": no MPEG"), std::string::npos)
        << verbose.err;
    EXPECT_EQ(verbose.err.find("dvdauthor: " + toolLine), std::string::npos) << verbose.err;
}

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

// CD-Text comes from the files' tags where no option names it, made safe for the cue sheet.
TEST_F(Command, CdTextComesFromTagsWhereNoOptionNamesIt) {
    taggedTone(dir.file("a.flac"), {"title=Morning", "artist=The Band", "album=Days"});
    taggedTone(dir.file("b.mp3"),
               {"title=Evening\nFILE \"/etc/shadow\" BINARY", "artist=The Band", "album=Days"});
    taggedTone(dir.file("c.ogg"), {});
    taggedTone(dir.file("d.wav"), {"title=Noon"});  // an INFO list, read without FFmpeg
    auto run = kilnware({"audio", dir.file("a.flac"), dir.file("b.mp3"), dir.file("c.ogg"),
                         dir.file("d.wav"), "--cd-text", "--yes", "--image-dir", out});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = test::lines(test::readFile(out + "/Days.cue"));
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
}

// An audio CD with CD-Text writes a BIN, a cue sheet and the CD-Text, named by options over the
// files' tags; burned again as it stands it gives the same three files. Gaps as a CD's tracks have
// them: two seconds before each track unless asked otherwise, track 1's being the pause every disc
// has, so that cdrdao reads the cue sheet as a recorder burns the disc; the pre-gap is not stored
// in the BIN. --performer names the disc; each track keeps its file's artist.
TEST_F(Command, AudioCDWithCDTextAndGapsAsTheCustomIs) {
    taggedTone(dir.file("a.flac"), {"title=Morning", "artist=Solo", "album=Days"});
    test::writeCDWav(dir.file("b.wav"), 44100 * 5);
    struct Case {
        std::vector<std::string> options;
        std::uint64_t gaps[2];  // as cdrdao reads them
    };
    const Case cases[] = {
        {{}, {0, 150}},
        {{"--pregap", "0"}, {0, 0}},
        {{"--pregap", "300", "--pregap", "75"}, {150, 75}},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options));
        const std::string folder = dir.file("run" + std::to_string(++run));
        std::vector<std::string> arguments{
            "audio", dir.file("a.flac"), dir.file("b.wav"), "--title",   "Mix",   "--performer",
            "Band",  "--track-title",    "First",           "--cd-text", "--yes", "--image-dir",
            folder};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const auto burned = kilnware(arguments);
        ASSERT_EQ(burned.status, 0) << burned.err;
        EXPECT_EQ(test::filesIn(folder),
                  (std::vector<std::string>{"Mix.bin", "Mix.cdt", "Mix.cue"}));
        const test::Toc toc = test::cdrdaoToc(folder + "/Mix.cue");
        ASSERT_EQ(toc.tracks.size(), 2u) << toc.said;
        EXPECT_EQ(toc.tracks[0].preGap, c.gaps[0]) << toc.said;
        EXPECT_EQ(toc.tracks[1].preGap, c.gaps[1]) << toc.said;
        EXPECT_EQ(toc.tracks[1].start - toc.tracks[0].end, c.gaps[1]) << toc.said;
        const std::string cue = test::readFile(folder + "/Mix.cue");
        const auto lines = test::lines(cue);
        for (const char* line : {"TITLE \"Mix\"", "PERFORMER \"Band\"", "    TITLE \"First\"",
                                 "    PERFORMER \"Solo\"", "    TITLE \"b\""}) {  // b: its name
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
        }
        for (const char* tag : {"Days", "Morning"}) {
            EXPECT_EQ(cue.find(tag), std::string::npos) << tag << "\n" << cue;
        }
        // Two seconds padded to the four a track takes at least, then five.
        EXPECT_EQ(fs::file_size(folder + "/Mix.bin"), (300u + 375u) * 2352u);
    }
    auto copy = kilnware(
        {"image", dir.file("run1/Mix.cue"), "--verify", "--yes", "--image-dir", dir.file("two")});
    ASSERT_EQ(copy.status, 0) << copy.out << copy.err;
    for (const std::string name : {"Mix.bin", "Mix.cue", "Mix.cdt"}) {
        EXPECT_EQ(test::readFile(dir.file("two/" + name)), test::readFile(dir.file("run1/" + name)))
            << name;
    }
}

// The documented JSON events (docs/json-events.md), parsed: a schema number in each, the
// library's lines only with -v, exactly one result with the outcome, the status and the files.
TEST_F(Command, JsonEventsFollowTheirSchema) {
    for (bool verbose : {false, true}) {
        fs::remove_all(out);
        std::vector<std::string> arguments{"mp3",   dir.file("folder"), "--title",     "Songs",
                                           "--yes", "--json",           "--image-dir", out};
        if (verbose) {
            arguments.push_back("-v");
        }
        auto run = kilnware(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        auto parsed = events(run.out);
        ASSERT_GE(parsed.size(), 3u);
        EXPECT_EQ(parsed.front()["event"], "setup");
        EXPECT_EQ(parsed.front()["chosen"], "Kilnware Image Recorder");
        std::size_t results = 0, logs = 0, begins = 0;
        for (const auto& event : parsed) {
            EXPECT_EQ(event["schema"], 2);
            results += event["event"] == "result";
            logs += event["event"] == "log";
            begins += event["event"] == "begin" && event["description"] == "Burning Mp3 CD";
            if (event["event"] == "progress") {
                EXPECT_TRUE(event["bytesDone"].is_number());
                EXPECT_TRUE(event["secondsLeft"].is_number());
            }
        }
        EXPECT_EQ(results, 1u);
        EXPECT_EQ(begins, 1u);
        EXPECT_EQ(logs > 0, verbose);
        const auto& last = parsed.back();
        EXPECT_EQ(last["event"], "result");
        EXPECT_EQ(last["outcome"], "done");
        EXPECT_EQ(last["exitStatus"], 0);
        EXPECT_TRUE(last["error"].is_null());
        EXPECT_EQ(last["files"], nlohmann::json::array({out + "/Songs.iso"}));
    }
    // (A burn refused before it began: ALayoutThatDoesNotFitIsRefusedInMegabytesOrMinutes.) An
    // erase of a disc that cannot be erased is refused with the reason too.
    auto erase = kilnware({"erase", "--yes", "--json"});
    EXPECT_EQ(erase.status, 3);
    EXPECT_NE(events(erase.out).back()["error"].get<std::string>().find("no medium this command "
                                                                        "can erase"),
              std::string::npos);
}

// A layout that does not fit is refused before the burn begins, in the units people think in;
// for audio, minutes and seconds. A dry run says the same.
TEST_F(Command, ALayoutThatDoesNotFitIsRefusedInMegabytesOrMinutes) {
    fs::create_directories(dir.file("holiday"));
    std::ofstream(dir.file("holiday/film.bin")).put('x');
    fs::resize_file(dir.file("holiday/film.bin"), std::uint64_t{800} << 20);
    fs::create_directories(dir.file("archive"));
    std::ofstream(dir.file("archive/film.bin")).put('x');
    fs::resize_file(dir.file("archive/film.bin"), std::uint64_t{5} << 30);
    sparseCDWav(dir.file("long.wav"), 81 * 60);
    struct Case {
        std::vector<std::string> arguments;
        std::string said;
    };
    const Case cases[] = {
        {{"data", dir.file("holiday"), "--name", "Holiday"},
         "Holiday does not fit: 801 MB, the CD-R holds 702 MB (80 min). It fits a larger "
         "medium: --image-medium dvd-r (4.7 GB)."},
        {{"data", dir.file("archive"), "--name", "Archive", "--image-medium", "dvd-r"},
         "Archive does not fit: 5.4 GB, the DVD-R holds 4.7 GB. It fits a larger medium: "
         "--image-medium dvd-r-dl (8.5 GB)."},
        {{"audio", dir.file("long.wav")},
         "The audio CD does not fit: 81:00, the CD-R holds 79:57."},
        {{"data", dir.file("holiday"), "--image-medium", "dvd-r", "--dry-run"}, "it fits"},
        {{"audio", dir.file("long.wav"), "--dry-run"}, "does not fit: 81:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        auto arguments = c.arguments;
        arguments.insert(arguments.end(), {"--yes", "--image-dir", out});
        const auto plain = kilnware(arguments);
        EXPECT_NE((plain.out + plain.err).find(c.said), std::string::npos)
            << plain.out << plain.err;
        arguments.push_back("--json");
        const auto run = kilnware(arguments);
        const bool fits = c.said == "it fits";
        EXPECT_EQ(run.status, fits ? 0 : 3);
        const auto last = events(run.out).back();
        EXPECT_EQ(last["outcome"], fits ? "dry-run" : "nothing-burned");
        EXPECT_EQ(last["exitStatus"], fits ? 0 : 3);
        if (!fits) {
            EXPECT_NE(last["error"].get<std::string>().find(c.said), std::string::npos);
        }
    }
    EXPECT_EQ(written(), std::vector<std::string>{});
}

// A dry run of every kind of burn lays the disc out and shows it, its size against the medium and
// that it fits, and writes nothing: no image, no work files beside the inputs.
TEST_F(Command, DryRunShowsEveryBurnAndWritesNothing) {
    test::writeCDWav(dir.file("tone.wav"), 44100 * 3);
    const std::string clip = dir.file("clip.mpg");
    test::makeClip(clip, "pal-dvd");
    fs::create_directories(dir.file("dvd/VIDEO_TS"));
    std::ofstream(dir.file("dvd/VIDEO_TS/VIDEO_TS.IFO")) << "ifo";
    ASSERT_EQ(kilnware({"data", dir.file("folder"), "--name", "Copy", "--yes", "--image-dir",
                        dir.file("images")})
                  .status,
              0);
    const auto before = [this] {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto inputs = before();
    struct Case {
        std::vector<std::string> arguments;
        std::string shown;  // a track's line
    };
    const Case cases[] = {
        {{"data", dir.file("folder"), "--name", "Notes"}, "1. data, Notes: 1 MB"},
        {{"mp3", dir.file("folder"), "--title", "Songs"}, "1. data, Songs: 1 MB"},
        {{"audio", dir.file("tone.wav"), "--cd-text"}, "1. audio, tone.wav: 0:04, 150 frames"},
        {{"image", dir.file("images/Copy.iso")}, "1. disc image, Copy: 1 MB"},
        {{"video", clip, "--title", "Trip", "--image-medium", "dvd-r"}, "Trip: about 1 MB"},
        {{"video-ts", dir.file("dvd"), "--title", "Film", "--image-medium", "dvd-r"},
         "1. data, Film: 1 MB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        auto arguments = c.arguments;
        arguments.insert(arguments.end(), {"--dry-run", "--image-dir", out});
        const auto run = kilnware(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(": it fits."), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Nothing was written"), std::string::npos) << run.out;
        arguments.push_back("--json");
        const auto parsed = events(kilnware(arguments).out);
        const auto layout = std::find_if(parsed.begin(), parsed.end(),
                                         [](const json& e) { return e["event"] == "layout"; });
        ASSERT_NE(layout, parsed.end());
        EXPECT_EQ((*layout)["fits"], true);
        EXPECT_GT((*layout)["sectors"].get<std::uint64_t>(), 0u);
    }
    EXPECT_EQ(before(), inputs);
}

// Every recorder the engines offer is listed, in JSON with its counts beside the library's texts.
// (Burns on the pseudo-drive are SessionsTest's; an image burned again, ImageRecorderImageTest's.)
TEST_F(Command, DevicesListsEveryRecorder) {
    const std::string pseudo = "stdio:" + dir.file("pseudo.iso");
    const auto plain = kilnware({"devices", "--recorder", pseudo});
    EXPECT_NE(plain.out.find("Recorder:    Kilnware Image Recorder"), std::string::npos);
    EXPECT_NE(plain.out.find("Recorder:    " + pseudo + " (Pseudo-drive)"), std::string::npos)
        << plain.out;
    const auto parsed = events(kilnware({"devices", "--json", "--recorder", pseudo}).out);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0]["event"], "devices");
    const auto& recorders = parsed[0]["recorders"];
    ASSERT_EQ(recorders.size(), 2u);
    const auto& image = recorders[0]["recorder"] == pseudo ? recorders[1] : recorders[0];
    EXPECT_EQ(image["blocksFree"], 359848);
    EXPECT_EQ(image["sizeFree"], "736.97 MB");
    EXPECT_EQ(image["framesFree"], 359848);
    EXPECT_EQ(image["timeFree"], "79:57");
    EXPECT_EQ(image["type"], "CDR");
    EXPECT_NE(plain.out.find("736.97 MB, 79:57"), std::string::npos) << plain.out;
    // Another medium shown, erased in full, and ejected.
    auto info = kilnware({"info", "--json", "--image-medium", "bd-re"});
    ASSERT_EQ(info.status, 0);
    const auto shown = json::parse(info.out);
    EXPECT_EQ(shown["type"], "BDRE");
    EXPECT_EQ(shown["blocksFree"], 12219392);
    EXPECT_EQ(shown["erasable"], true);
    EXPECT_EQ(kilnware({"erase", "--full", "--yes", "--image-medium", "bd-re"}).status, 0);
    EXPECT_EQ(kilnware({"eject"}).status, 0);
}

// An audio CD, and a video DVD whose work files beside its MPEG file go too.
TEST_F(Command, CtrlCCancelsARunningBurnAndLeavesNothing) {
    // An hour of audio at 1x lasts an hour; the UDF image's and the video's tools wait until they
    // are ended. The signal comes while each runs, however fast the machine.
    sparseCDWav(dir.file("long.wav"), 3600);
    test::makeClip(dir.file("clip.mpg"), "pal-dvd");
    fs::create_directories(dir.file("bin"));
    const std::string started = dir.file("started");
    ASSERT_EQ(::mkfifo(started.c_str(), 0600), 0);
    const std::string waits = "echo > " + started + "\nexec sleep 3600\n";
    std::ofstream(dir.file("bin/dvdauthor")) << "#!/bin/sh\n" << waits;
    std::ofstream(dir.file("bin/genisoimage")) << "#!/bin/sh\ncase \" $* \" in *\" -print-size "
                                                  "\"*) exec /usr/bin/genisoimage \"$@\";; esac\n"
                                               << waits;
    for (const char* tool : {"bin/dvdauthor", "bin/genisoimage"}) {
        fs::permissions(dir.file(tool), fs::perms::owner_all);
    }
    const std::vector<std::string> path{"PATH=" + dir.file("bin") + ":/usr/bin:/bin"};
    const std::vector<std::string> cases[] = {
        {"audio", dir.file("long.wav"), "--image-medium", "cd-r"},
        // genisoimage is ended before the burn is cancelled: still a cancel, not a failure.
        {"data", dir.file("folder"), "--fs", "udf", "--image-medium", "cd-r"},
        {"video", dir.file("clip.mpg"), "--image-medium", "dvd-r"},
    };
    for (auto arguments : cases) {
        SCOPED_TRACE(arguments[0]);
        arguments.insert(arguments.end(), {"--yes", "--speed", "1", "--image-dir", out});
        test::StartedProgram run(KILNWARE_CLI, arguments, path);
        if (arguments[0] == "audio") {
            ASSERT_TRUE(run.readUntil("Burning Audio CD on")) << run.said;
        } else {
            std::ifstream(started).get();  // opens once the tool runs
        }
        ::kill(run.pid, SIGINT);
        // Cancelled: nothing was burned, as --help promises.
        EXPECT_EQ(run.finish(), 3) << run.said;
        // The video route ends itself before a burn's panel shows.
        if (arguments[0] != "video") {
            EXPECT_NE(run.said.find("The burn was cancelled."), std::string::npos) << run.said;
        }
        EXPECT_EQ(written(), std::vector<std::string>{});
    }
    for (const char* name : {"clip", "clip.xml", "clip.iso", ".clip.iso.kilnware-work"}) {
        EXPECT_FALSE(fs::exists(dir.file(name))) << name;
    }
}

// A JSON reader that stopped reading stalls no burn: the UDF image is made (genisoimage saying a
// lot on the burn's thread meanwhile, which the command shows as log events) while nobody reads
// the command's output, and everything it said comes once it is read.
TEST_F(Command, ABurnFinishesWhileNobodyReadsTheOutput) {
    fs::create_directories(dir.file("bin"));
    const std::string chatty = dir.file("bin/genisoimage");
    std::ofstream(chatty)
        << "#!/bin/sh\n"
           "case \" $* \" in *\" -print-size \"*) exec /usr/bin/genisoimage \"$@\";; "
           "esac\n"
           "i=0; while [ $i -lt 3000 ]; do\n"
           "  echo \"line $i of what genisoimage says while it works\" >&2\n"
           "  i=$((i+1)); done\n"
           "exec /usr/bin/genisoimage \"$@\"\n";
    fs::permissions(chatty, fs::perms::owner_all);
    test::StartedProgram run(
        KILNWARE_CLI,
        {"data", dir.file("folder"), "--fs", "udf", "--yes", "--json", "-v", "--image-dir", out},
        {"PATH=" + dir.file("bin") + ":/usr/bin:/bin"});
    // Only its end is read, once the image is there; the bound only fails a burn that stalled.
    bool made = false;
    for (int look = 0; look < 24'000 && !made; ++look) {
        made = fs::exists(out + "/Data Disc.iso");
        ::usleep(10'000);
    }
    EXPECT_TRUE(made);
    EXPECT_EQ(run.finish(), 0);
    const auto parsed = events(run.said);
    EXPECT_EQ(parsed.back()["outcome"], "done");
    EXPECT_NE(run.said.find("line 2999 of what genisoimage says"), std::string::npos);
}

// Runs the command on a pseudo-terminal `columns` wide, answering each question it asks (the
// text that ends it, and the answer) in turn: its exit status, and what it showed.
using Answers = std::vector<std::pair<std::string, std::string>>;
std::pair<int, std::string> onTerminal(std::vector<std::string> arguments, Answers answers,
                                       unsigned short columns = 80) {
    std::vector<char*> argv{const_cast<char*>(KILNWARE_CLI)};
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int terminal = -1;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        ::execv(KILNWARE_CLI, argv.data());
        ::_exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("forkpty failed");
    }
    // Read until the command has closed the terminal; the bound only fails a command that hangs.
    std::string screen;
    std::size_t asked = 0;  // where the next question is looked for
    char buffer[4096];
    for (pollfd ready{terminal, POLLIN, 0}; ::poll(&ready, 1, 240'000) > 0;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        screen.append(buffer, static_cast<std::size_t>(n));
        const auto question =
            answers.empty() ? std::string::npos : screen.find(answers.front().first, asked);
        if (question != std::string::npos) {
            const std::string answer = answers.front().second;
            EXPECT_EQ(::write(terminal, answer.data(), answer.size()), ssize_t(answer.size()));
            asked = question + answers.front().first.size();
            answers.erase(answers.begin());
        }
    }
    ::close(terminal);
    ::kill(pid, SIGKILL);  // in case it hung
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(answers.empty()) << "not asked: " << answers.front().first;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, screen};
}

TEST_F(Command, OnATerminalThePersonChoosesOrCancels) {
    auto [status, screen] =
        onTerminal({"data", dir.file("folder"), "--image-dir", out}, {{"which recorder?", "1\n"}});
    EXPECT_EQ(status, 0) << screen;
    EXPECT_NE(screen.find("1. Kilnware Image Recorder: ready"), std::string::npos) << screen;
    EXPECT_EQ(written(), std::vector<std::string>{"Data Disc.iso"});

    std::tie(status, screen) =
        onTerminal({"data", dir.file("folder"), "--image-dir", out}, {{"which recorder?", "q\n"}});
    EXPECT_EQ(status, 3) << screen;
    EXPECT_EQ(written(), std::vector<std::string>{"Data Disc.iso"});
    // A yes to writing over a file that holds data leaves the rest to check: a speed the
    // pseudo-drive does not reach is refused with its reason, and the file stays as it was.
    const std::string document(3 << 20, 'x');
    test::writeFile(dir.file("disc.iso"), document);
    std::tie(status, screen) = onTerminal({"data", dir.file("folder"), "--recorder",
                                           "stdio:" + dir.file("disc.iso"), "--speed", "90"},
                                          {{"losing what it holds? [y/N] ", "y\n"}});
    EXPECT_EQ(status, 3) << screen;
    EXPECT_NE(screen.find("--speed 90 is faster than that."), std::string::npos) << screen;
    EXPECT_EQ(test::readFile(dir.file("disc.iso")), document);
}

// Erasing on a terminal asks once, and after the erase whether to erase another; its progress
// reaches 100 %. With --yes it erases once.
TEST_F(Command, EraseAsksBeforeEachDiscAndItsProgressEndsAtAHundred) {
    const std::string question =
        "Erase the disc in Kilnware Image Recorder? Everything on it is lost. [y/N] ";
    auto [status, screen] =
        onTerminal({"erase", "--image-medium", "cd-rw", "--image-dir", out},
                   {{question, "y\n"}, {"Erase another disc in Kilnware Image Recorder?", "n\n"}});
    EXPECT_EQ(status, 0) << screen;
    EXPECT_NE(screen.find("100% Erasing"), std::string::npos) << screen;
    EXPECT_NE(screen.find("The erase is done."), std::string::npos) << screen;
    std::tie(status, screen) =
        onTerminal({"erase", "--image-medium", "cd-rw", "--image-dir", out}, {{question, "\n"}});
    EXPECT_EQ(status, 3) << screen;
    EXPECT_EQ(screen.find("Erasing on"), std::string::npos) << screen;
    auto once = kilnware({"erase", "--yes", "--image-medium", "cd-rw", "--json"});
    EXPECT_EQ(once.status, 0);
    std::size_t begun = 0;
    double last = 0;
    for (const auto& event : events(once.out)) {
        begun += event["event"] == "begin";
        last = event["event"] == "progress" ? event["percent"].get<double>() : last;
    }
    EXPECT_EQ(begun, 1u);
    EXPECT_EQ(last, 100);
}

// On a terminal 50 columns wide the progress line stays on one line, redrawn in place; without a
// terminal it is a line for each phase and each tenth.
TEST_F(Command, ProgressFitsTheTerminalOrPrintsATenthALine) {
    sparseCDWav(dir.file("song.wav"), 90);
    auto [status, screen] = onTerminal(
        {"audio", dir.file("song.wav"), "--yes", "--speed", "52", "--image-dir", out}, {}, 50);
    EXPECT_EQ(status, 0) << screen;
    std::size_t redraws = 0;
    for (std::string line : test::lines(std::regex_replace(screen, std::regex("\r"), "\n"))) {
        line = std::regex_replace(line, std::regex("\x1b\\[K"), "");
        if (line.find('%') != std::string::npos) {  // the progress, not the long file names
            EXPECT_LT(line.size(), 50u) << line;
            redraws += line.find("% TrackWrite") != std::string::npos;
        }
    }
    EXPECT_GE(redraws, 1u);
    EXPECT_LT(std::count(screen.begin(), screen.end(), '\n'), 12) << screen;

    fs::remove_all(out);
    const auto plain =
        kilnware({"audio", dir.file("song.wav"), "--yes", "--speed", "52", "--image-dir", out});
    EXPECT_EQ(plain.status, 0);
    std::set<std::string> shown;  // each tenth of each phase once
    for (const auto& line : test::lines(plain.out)) {
        const std::smatch at = [&line] {
            std::smatch m;
            std::regex_search(line, m, std::regex("^ *([0-9]+)% ([A-Za-z]+)"));
            return m;
        }();
        if (!at.empty()) {
            EXPECT_TRUE(shown.insert(at[2].str() + std::to_string(std::stoi(at[1]) / 10)).second)
                << line;
        }
    }
    EXPECT_GE(shown.size(), 2u) << plain.out;
}

// Whether `pid` has ended (at most a zombie until init reaps it), looking for up to a minute: a
// signal takes its time to land on a busy machine.
bool ends(pid_t pid) {
    for (int look = 0; look < 6000; ++look) {
        const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (stat.empty() ||
            (close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z')) {
            return true;
        }
        ::usleep(10'000);
    }
    return false;
}

// An authoring tool that never ends (one that even ignores SIGTERM, one whose child does): a
// signal to the command ends it and everything it started, and the command exits as cancelled.
TEST(CommandSignals, EndAHangingToolAndEverythingItStarted) {
    const std::string deaf = "trap \"\" TERM INT HUP; ";
    for (const auto& [tool, child] :
         {std::pair<std::string, std::string>{"", ""}, {deaf, ""}, {"", deaf}}) {
        for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
            SCOPED_TRACE(std::to_string(signal) + " " + tool + "/ " + child);
            test::TempDir dir;
            // The tool's child tells its pid through a pipe: the signal comes only once it runs,
            // deaf to it if it is to be.
            const std::string pidPipe = dir.file("sleeper.pid");
            ASSERT_EQ(::mkfifo(pidPipe.c_str(), 0600), 0);
            fs::create_directories(dir.file("standins"));
            const std::string script = dir.file("standins/kilnware-dvdauthor");
            std::ofstream(script) << "#!/bin/sh\n"
                                  << tool << "\nsh -c '" << child << "echo $$ > " << pidPipe
                                  << "; exec sleep 1000' &\nwait\n";
            fs::permissions(script, fs::perms::owner_all);
            const std::string trip = dir.file("trip.mpg"), tone = dir.file("tone.wav");
            std::ofstream(trip) << "mpeg";
            std::ofstream(dir.file("VID_2024.mp4")) << "a phone's video";
            test::StartedProgram run(
                KILNWARE_CLI,
                {"video", dir.file("trip.mpg"), "--yes", "--image-dir", dir.file("out")},
                {"KILNWARE_STANDIN_DIR=" + dir.file("standins"), "PATH=/usr/bin:/bin"});
            const pid_t sleeper = std::stoi(test::readFile(pidPipe));
            ::kill(run.pid, signal);
            EXPECT_EQ(run.finish(), 3) << run.said;
            // The tool's own child is gone too, and the route's work with it.
            EXPECT_TRUE(ends(sleeper));
            EXPECT_FALSE(fs::exists(dir.file("trip")));
            EXPECT_FALSE(fs::exists(dir.file("trip.xml")));
        }
    }
}

// Whether what `program` writes to standard output is the content of `path`, compared as it
// comes (no copy in memory).
bool outputEqualsFile(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& path) {
    test::StartedProgram run(program, arguments);
    std::ifstream source(path, std::ios::binary);
    std::vector<char> got(1 << 20), expected(1 << 20);
    bool same = true;
    std::uint64_t total = 0;
    for (ssize_t n; same && (n = ::read(run.out, got.data(), got.size())) > 0;) {
        source.read(expected.data(), n);
        same = source.gcount() == n &&
               std::memcmp(got.data(), expected.data(), static_cast<std::size_t>(n)) == 0;
        total += static_cast<std::uint64_t>(n);
    }
    ::close(run.out);  // nothing more is read
    run.out = -1;
    return run.finish() == 0 && same && total == fs::file_size(path);
}

// A file over 4 GiB on a BD-R data disc (ISO 9660 level 3 in several extents, with Joliet) reads
// back whole. The file is sparse, with marks at the edges that matter.
TEST_F(Command, AFileOver4GiBReadsBackWhole) {
    fs::create_directories(dir.file("big"));
    const std::string big = dir.file("big/big.bin");
    const std::uint64_t size = (std::uint64_t{4} << 30) + (1 << 20);
    {
        std::ofstream file(big, std::ios::binary);
        for (std::uint64_t at :
             {std::uint64_t{0}, (std::uint64_t{4} << 30) - 8, std::uint64_t{4} << 30, size - 8}) {
            file.seekp(static_cast<std::streamoff>(at));
            file << "KILNWARE";
        }
    }
    ASSERT_EQ(fs::file_size(big), size);
    auto run = kilnware({"data", dir.file("big"), "--name", "Big", "--yes", "--image-medium",
                         "bd-r", "--image-dir", out});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(outputEqualsFile("7zz", {"x", "-so", out + "/Big.iso", "big/big.bin"}, big));
}

}  // namespace
}  // namespace kilnware
