// The kilnware command, run as a program on the image recorder.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace kilnware {
namespace {

using nlohmann::json;
using test::RunResult;
using test::TempDir;
namespace fs = std::filesystem;

class Command : public ::testing::Test {
protected:
    TempDir dir;
    std::string out;

    void SetUp() override {
        out = dir.file("out");
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
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        parsed.push_back(json::parse(line));  // throws, failing the test, on a broken line
    }
    return parsed;
}

TEST_F(Command, EachFileSystemReadsBackWithItsOwnReader) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> readers{
        {"iso9660", {"isoinfo", "-R", "-f", "-i"}},
        {"joliet", {"isoinfo", "-J", "-f", "-i"}},
        {"udf", {"7zz", "l", "-tUdf"}},
        {"hfsplus", {"7zz", "l", "-tHFS"}},
    };
    for (const auto& [fileSystem, reader] : readers) {
        SCOPED_TRACE(fileSystem);
        auto run = kilnware({"data", dir.file("folder"), "--name", fileSystem, "--fs", fileSystem,
                             "--yes", "--image-dir", out});
        ASSERT_EQ(run.status, 0) << run.err;
        std::vector<std::string> arguments(reader.begin() + 1, reader.end());
        arguments.push_back(out + "/" + fileSystem + ".iso");
        auto listed = test::runProgram(reader.front(), arguments);
        EXPECT_EQ(listed.status, 0) << listed.err;
        EXPECT_NE(listed.out.find("a.txt"), std::string::npos) << listed.out;
    }
}

// A video DVD, on a DVD, through the real authoring program.
TEST_F(Command, VideoFromAnMpegFileWritesADvdImage) {
    const std::string clip = dir.file("clip.mpg");
    auto made = test::runProgram(
        "ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=720x576:rate=25",
                   "-t", "1", "-target", "pal-dvd", "-an", clip});
    ASSERT_EQ(made.status, 0) << made.err;
    auto run = kilnware({"video", clip, "--title", "Summer", "--yes", "--image-medium", "dvd-r",
                         "--image-dir", out});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(written(), std::vector<std::string>{"Summer.iso"});
    auto udf = test::runProgram("udfinfo", {out + "/Summer.iso"});
    EXPECT_NE(udf.out.find("label=Summer"), std::string::npos) << udf.out;
    auto joliet = test::runProgram("isoinfo", {"-J", "-f", "-i", out + "/Summer.iso"});
    EXPECT_NE(joliet.out.find("/VIDEO_TS/VTS_01_1.VOB"), std::string::npos) << joliet.out;
    // The work files beside the clip are gone; the clip stays.
    EXPECT_FALSE(fs::exists(dir.file("clip.iso")));
    EXPECT_FALSE(fs::exists(dir.file("clip")));
    EXPECT_FALSE(fs::exists(dir.file(".clip.iso.kilnware-work")));
    EXPECT_TRUE(fs::exists(clip));
}

TEST_F(Command, BadInputGetsAClearAnswerAndWritesNothing) {
    std::ofstream(dir.file("notes.txt")) << "not audio";
    test::writeCDWav(dir.file("tone.wav"), 44100);
    const std::string folder = dir.file("folder");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string said;  // on standard error, or output for a refused medium
    };
    const Case cases[] = {
        {{"data", dir.file("nothere"), "--yes"}, 2, "nothere"},
        {{"data", folder, "--fs", "ntfs", "--yes"}, 2, "ntfs"},
        {{"audio", "--yes"}, 2, "files is required"},
        {{"audio", dir.file("notes.txt"), "--yes"}, 3, "notes.txt is no audio that can be read"},
        // An audio CD keeps the library's own policy; every other burn takes DVDs and BDs too.
        {{"audio", dir.file("tone.wav"), "--yes", "--image-medium", "dvd-r"},
         3,
         "That's not a writable CD!"},
        {{"data", folder, "--yes", "--recorder", "Plexwriter"},
         3,
         "No recorder is named \"Plexwriter\""},
        {{"data", folder}, 3, "Pass --yes"},
        {{"burn-everything"}, 2, ""},
    };
    for (auto c : cases) {
        c.arguments.insert(c.arguments.end(), {"--image-dir", out});
        auto run = kilnware(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments[0] << " " << c.said;
        EXPECT_NE((run.err + run.out).find(c.said), std::string::npos) << run.err << run.out;
    }
    EXPECT_EQ(written(), std::vector<std::string>{});
}

TEST_F(Command, AudioCDWithCDTextWritesBinCueAndCdt) {
    test::writeCDWav(dir.file("a.wav"), 44100 * 2);
    test::writeCDWav(dir.file("b.wav"), 44100 * 5);
    auto run =
        kilnware({"audio", dir.file("a.wav"), dir.file("b.wav"), "--cd-text", "--title", "Tones",
                  "--performer", "Band", "--track-title", "First", "--yes", "--image-dir", out});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(written(), (std::vector<std::string>{"Tones.bin", "Tones.cdt", "Tones.cue"}));
    const std::string cue = test::readFile(out + "/Tones.cue");
    EXPECT_NE(cue.find("TITLE \"Tones\""), std::string::npos) << cue;
    EXPECT_NE(cue.find("TITLE \"First\""), std::string::npos) << cue;
    EXPECT_NE(cue.find("TITLE \"b\""), std::string::npos) << cue;  // the file's own name
    EXPECT_NE(cue.find("PERFORMER \"Band\""), std::string::npos) << cue;
    // Two seconds padded to the four a track takes at least, then five.
    EXPECT_EQ(fs::file_size(out + "/Tones.bin"), (300u + 375u) * 2352u);
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
            EXPECT_EQ(event["schema"], 1);
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
    auto failed =
        kilnware({"data", dir.file("folder"), "--simulate", "--yes", "--json", "--image-dir", out});
    const auto last = events(failed.out).back();
    EXPECT_EQ(last["outcome"], "failed");
    EXPECT_EQ(last["exitStatus"], 1);
    EXPECT_NE(last["error"].get<std::string>().find("cannot simulate"), std::string::npos);
}

TEST_F(Command, DevicesShowTheImageRecordersBlankCD) {
    auto run = kilnware({"devices", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    auto parsed = events(run.out);
    ASSERT_EQ(parsed.size(), 1u) << run.out;
    EXPECT_EQ(parsed[0]["m_deviceName"], "Kilnware Image Recorder");
    EXPECT_EQ(parsed[0]["m_MediaType"], "CDR");
    EXPECT_EQ(parsed[0]["m_BlocksFree"], "736.97 MB");
    EXPECT_EQ(parsed[0]["m_MediaFreeTime"], "79:57");
    EXPECT_EQ(parsed[0].size(), 13u);

    auto plain = kilnware({"devices"});
    EXPECT_NE(plain.out.find("736.97 MB, 79:57"), std::string::npos) << plain.out;
}

// Each medium of the image recorder, with its true capacity; data discs go on all of them.
TEST_F(Command, DataDiscsGoOnEveryMediumOfTheImageRecorder) {
    const std::pair<const char*, const char*> media[] = {
        {"cd-r", "736.97 MB"}, {"cd-rw", "736.97 MB"},  {"dvd-r", "4.71 GB"},
        {"dvd+r", "4.70 GB"},  {"dvd-r-dl", "8.54 GB"}, {"dvd-rw", "4.71 GB"},
        {"bd-r", "25.03 GB"},  {"bd-re", "25.03 GB"}};
    for (const auto& [medium, capacity] : media) {
        SCOPED_TRACE(medium);
        auto shown = kilnware({"devices", "--image-medium", medium});
        EXPECT_NE(shown.out.find(std::string("Capacity:    ") + capacity), std::string::npos)
            << shown.out;
        fs::remove_all(out);
        auto data = kilnware({"data", dir.file("folder"), "--name", "Disc", "--yes",
                              "--image-medium", medium, "--image-dir", out});
        EXPECT_EQ(data.status, 0) << data.out << data.err;
        EXPECT_EQ(written(), std::vector<std::string>{"Disc.iso"});
    }
}

TEST_F(Command, EraseOnceWithYesAndEject) {
    auto erase = kilnware({"erase", "--yes", "--image-medium", "cd-rw"});
    EXPECT_EQ(erase.status, 0) << erase.out << erase.err;
    EXPECT_NE(erase.out.find("The erase is done."), std::string::npos) << erase.out;
    // A write-once disc is refused in the setup panel, with what would do.
    auto cdr = kilnware({"erase", "--yes"});
    EXPECT_EQ(cdr.status, 3);
    EXPECT_NE(cdr.err.find("no medium this command can erase"), std::string::npos) << cdr.err;
    EXPECT_EQ(kilnware({"eject"}).status, 0);
}

TEST_F(Command, CtrlCCancelsARunningBurnAndLeavesNothing) {
    // At a thousandth of 1x the burn lasts an hour: the signal comes while it runs, however fast
    // the machine, and only once the command has said that it burns.
    test::writeCDWav(dir.file("short.wav"), 44100);
    auto run = test::startProgram(KILNWARE_CLI, {"audio", dir.file("short.wav"), "--yes", "--speed",
                                                 "0.001", "--image-dir", out});
    ASSERT_TRUE(run.readUntil("Burning Audio CD on")) << run.said;
    ::kill(run.pid, SIGINT);
    // Cancelled: nothing was burned, as --help promises.
    EXPECT_EQ(run.finish(), 3) << run.said;
    EXPECT_NE(run.said.find("Cancelling..."), std::string::npos) << run.said;
    EXPECT_EQ(written(), std::vector<std::string>{});
}

// Runs the command on a pseudo-terminal, answering its question with `answer`.
struct TerminalRun {
    int status;
    std::string screen;
};

TerminalRun onTerminal(const std::vector<std::string>& arguments, const std::string& answer) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) {
        posix_spawn_file_actions_adddup2(&actions, slave, fd);
    }
    posix_spawn_file_actions_addclose(&actions, master);
    std::vector<std::string> words{KILNWARE_CLI};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    posix_spawn(&pid, KILNWARE_CLI, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(slave);

    TerminalRun run{-1, ""};
    bool answered = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd poller{master, POLLIN, 0};
        if (::poll(&poller, 1, 100) > 0) {
            char buffer[4096];
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;  // the command has closed the terminal
            }
            run.screen.append(buffer, static_cast<std::size_t>(n));
        }
        if (!answered && run.screen.find("with which recorder?") != std::string::npos) {
            ::write(master, answer.data(), answer.size());
            answered = true;
        }
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(Command, OnATerminalThePersonChoosesOrCancels) {
    auto chosen = onTerminal({"data", dir.file("folder"), "--image-dir", out}, "1\n");
    EXPECT_EQ(chosen.status, 0) << chosen.screen;
    EXPECT_NE(chosen.screen.find("1. Kilnware Image Recorder: ready"), std::string::npos);
    EXPECT_EQ(written(), std::vector<std::string>{"Data Disc.iso"});

    auto cancelled = onTerminal({"data", dir.file("folder"), "--image-dir", out}, "q\n");
    EXPECT_EQ(cancelled.status, 3) << cancelled.screen;
    EXPECT_EQ(written(), std::vector<std::string>{"Data Disc.iso"});
}

bool endedOrZombie(pid_t pid) {
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return stat.empty() ||
           (close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z');
}

// An authoring tool that never ends (and one that even ignores SIGTERM): a signal to the command
// ends it and everything it started, and the command exits as cancelled.
TEST(CommandSignals, EndAHangingToolAndEverythingItStarted) {
    for (const char* trap : {"", "trap '' TERM INT HUP\n"}) {
        for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
            SCOPED_TRACE(std::to_string(signal) + (*trap ? " (ignored by the tool)" : ""));
            test::TempDir dir;
            // The tool tells its child's pid through a pipe: the signal comes only once it runs.
            const std::string pidPipe = dir.file("sleeper.pid");
            ASSERT_EQ(::mkfifo(pidPipe.c_str(), 0600), 0);
            std::filesystem::create_directories(dir.file("standins"));
            const std::string tool = dir.file("standins/kilnware-dvdauthor");
            std::ofstream(tool) << "#!/bin/sh\n"
                                << trap << "sleep 1000 &\necho $! > " << pidPipe << "\nwait\n";
            std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
            std::ofstream(dir.file("trip.mpg")) << "mpeg";
            auto run = test::startProgram(
                KILNWARE_CLI,
                {"video", dir.file("trip.mpg"), "--yes", "--image-dir", dir.file("out")},
                {"KILNWARE_STANDIN_DIR=" + dir.file("standins"), "PATH=/usr/bin:/bin"});
            const pid_t sleeper = std::stoi(test::readFile(pidPipe));
            ::kill(run.pid, signal);
            EXPECT_EQ(run.finish(), 3) << run.said;
            // The tool's own child is gone too (at most a zombie until init reaps it), and the
            // route's work with it.
            EXPECT_TRUE(endedOrZombie(sleeper));
            EXPECT_FALSE(std::filesystem::exists(dir.file("trip")));
            EXPECT_FALSE(std::filesystem::exists(dir.file("trip.xml")));
        }
    }
}

TEST_F(Command, VideoRefusesAnImageFolderInsideTheWorkFolder) {
    std::ofstream(dir.file("trip.mpg")) << "mpeg";
    for (const char* images : {"trip", "trip/out"}) {
        RunResult refused =
            kilnware({"video", dir.file("trip.mpg"), "--yes", "--image-dir", dir.file(images)});
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.err.find("work folder"), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(dir.file("trip")));
    }
}

// A data disc on a libburn pseudo-drive, its image burned again as it stands on the image
// recorder (read back), and the medium shown: every recorder reached by its name or address.
TEST_F(Command, PseudoDriveImageAndInfo) {
    const std::string disc = dir.file("disc.iso");
    auto data = kilnware(
        {"data", dir.file("folder"), "--name", "Pseudo", "--yes", "--recorder", "stdio:" + disc});
    ASSERT_EQ(data.status, 0) << data.out << data.err;
    auto copy = kilnware({"image", disc, "--verify", "--yes", "--image-dir", out});
    ASSERT_EQ(copy.status, 0) << copy.out << copy.err;
    EXPECT_EQ(test::readFile(out + "/Pseudo.iso"), test::readFile(disc));
    EXPECT_EQ(kilnware({"image", dir.file("folder/sub/a.txt"), "--yes"}).status, 2);

    auto info = kilnware({"info", "--json", "--image-medium", "bd-re"});
    ASSERT_EQ(info.status, 0);
    const auto shown = json::parse(info.out);
    EXPECT_EQ(shown["type"], "BDRE");
    EXPECT_EQ(shown["blocksFree"], 12219392);
    EXPECT_EQ(shown["erasable"], true);
    EXPECT_EQ(kilnware({"erase", "--full", "--yes", "--image-medium", "bd-re"}).status, 0);

    // A simulation writes nothing where the recorder can simulate (JsonEventsFollowTheirSchema
    // has it refused where not).
    const std::string untouched = dir.file("untouched.iso");
    auto simulated = kilnware(
        {"data", dir.file("folder"), "--simulate", "--yes", "--recorder", "stdio:" + untouched});
    EXPECT_EQ(simulated.status, 0) << simulated.err;
    EXPECT_EQ(test::readFile(untouched), "");
    auto unknown = kilnware({"eject", "--recorder", "Plexwriter"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("No recorder is named"), std::string::npos) << unknown.err;
}

// A BIN/CUE with CD-Text burned again as it stands gives the same BIN, cue sheet and CD-Text; a
// cue sheet that points outside its folder is refused, one with control characters shown safely.
TEST_F(Command, BinCueComesOutIdentical) {
    test::writeCDWav(dir.file("a.wav"), 44100 * 5);
    test::writeCDWav(dir.file("b.wav"), 44100 * 6);
    auto audio = kilnware({"audio", dir.file("a.wav"), dir.file("b.wav"), "--cd-text", "--title",
                           "Mix", "--pregap", "0", "--pregap", "150", "--yes", "--image-dir", out});
    ASSERT_EQ(audio.status, 0) << audio.err;
    auto copy =
        kilnware({"image", out + "/Mix.cue", "--verify", "--yes", "--image-dir", dir.file("two")});
    ASSERT_EQ(copy.status, 0) << copy.out << copy.err;
    for (const std::string name : {"Mix.bin", "Mix.cue", "Mix.cdt"}) {
        EXPECT_EQ(test::readFile(dir.file("two/" + name)), test::readFile(out + "/" + name))
            << name;
    }
    std::ofstream(dir.file("evil.cue")) << "FILE \"../etc/passwd\" BINARY\n  TRACK 01 AUDIO\n"
                                           "    INDEX 01 00:00:00\n";
    auto evil = kilnware({"image", dir.file("evil.cue"), "--yes"});
    EXPECT_EQ(evil.status, 2);
    EXPECT_NE(evil.err.find("beside the cue sheet"), std::string::npos) << evil.err;
    // Control characters of a sheet never reach the terminal through an error.
    std::ofstream(dir.file("escape.cue")) << "\x1b]0;owned\x07 X\n";
    auto escape = kilnware({"image", dir.file("escape.cue"), "--yes"});
    EXPECT_EQ(escape.status, 2);
    EXPECT_EQ(escape.err.find('\x1b'), std::string::npos) << escape.err;
}

// Whether what `program` writes to standard output is the content of `path`, compared as it
// comes (no copy in memory).
bool outputEqualsFile(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& path) {
    auto run = test::startProgram(program, arguments);
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
    return run.finish() == 0 && same && total == std::filesystem::file_size(path);
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
