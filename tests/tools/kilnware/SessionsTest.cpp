// Discs that hold data: never written over unasked, sessions added on request, checked later. On a
// libburn pseudo-drive (a file, written in place like a DVD+RW), read back by xorriso too; and the
// command's answers for media that libburn cannot make (write-once discs) on scriptable recorders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include <kilnware/platform/engines/virtual/ScriptableRecorder.h>
#include <kilnware/platform/panels/Panels.h>

#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"
#include "tools/kilnware/Commands.h"
#include "tools/kilnware/HostBurn.h"

namespace kilnware {
namespace {

using namespace platform;
using test::RunResult;
namespace fs = std::filesystem;

class Sessions : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string disc = dir.file("disc.iso");

    RunResult kilnware(std::vector<std::string> arguments) {
        return test::runProgram(KILNWARE_CLI, arguments);
    }
    // A data burn (or another `command`) of `folder` onto the pseudo-drive over `disc`, with
    // `more` options.
    RunResult burn(const std::string& folder, std::vector<std::string> more = {},
                   const std::string& command = "data") {
        std::vector<std::string> arguments = {command, dir.file(folder), "--yes", "--recorder",
                                              "stdio:" + disc};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return kilnware(arguments);
    }
    RunResult xorriso(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-indev", "stdio:" + disc});
        return test::runProgram("xorriso", arguments);
    }
    // The first blocks of the sessions xorriso finds on the disc.
    std::vector<int> xorrisoSessions() {
        std::vector<int> starts;
        const std::regex line("ISO session  : +[0-9]+ , +([0-9]+) ,");
        const std::string toc = xorriso({"-toc"}).out;
        for (std::sregex_iterator i(toc.begin(), toc.end(), line), end; i != end; ++i) {
            starts.push_back(std::stoi((*i)[1]));
        }
        return starts;
    }
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Three sessions, one after the other (the third an MP3 CD's), each holding the files of those
// before it; xorriso reads them as its own, and so do the command's ls, info and check. A burn that
// would write over them is refused unless asked, and then replaces them. A byte flipped in a file
// of the second session is found, and the file named.
TEST_F(Sessions, AppendedSessionsAreReadEverywhereCheckedAndOnlyOverwrittenWhenAsked) {
    for (const char* folder : {"A", "B", "C", "D"}) {
        fs::create_directories(dir.file(folder));
        test::writeFile(dir.file(folder) + "/" + folder + (*folder == 'C' ? ".mp3" : ".txt"),
                        std::string(5000, *folder));
    }
    // A file is written in place, which keeps no mark of a closed disc: --close says so, and
    // sessions are added all the same.
    const auto first = burn("A", {"--name", "Photos", "--close"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(has(first.err, "is written in place and cannot be closed")) << first.err;
    for (const char* folder : {"B", "C"}) {
        const auto added = burn(folder, {"--append", "--verify"}, *folder == 'C' ? "mp3" : "data");
        ASSERT_EQ(added.status, 0) << added.out << added.err;
    }
    const std::vector<int> starts = xorrisoSessions();
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0], 32);  // where xorriso itself begins a file's first session
    const std::string listed = xorriso({"-ls", "/"}).out;
    for (const char* name : {"'A'", "'B'", "'C'"}) {
        EXPECT_TRUE(has(listed, name)) << listed;
    }
    // The command reads the file as a recorder's medium and as an image alike.
    const auto byRecorder = kilnware({"ls", "--recorder", "stdio:" + disc, "/B"});
    const auto byImage = kilnware({"ls", disc, "/B"});
    EXPECT_EQ(byRecorder.status, 0) << byRecorder.err;
    EXPECT_TRUE(
        std::regex_search(byRecorder.out, std::regex("^-r[-w]-r--r-- +1 0 +0 +5000 .* 'B.txt'\n$")))
        << byRecorder.out;
    EXPECT_EQ(byImage.out, byRecorder.out);
    // The MP3 CD's files are for players: readable by all.
    const auto songs = kilnware({"ls", disc, "/C"});
    EXPECT_TRUE(std::regex_search(songs.out, std::regex("^-r--r--r-- .* 5000 .* 'C.mp3'\n$")))
        << songs.out << songs.err;
    const auto info = kilnware({"info", "--recorder", "stdio:" + disc});
    EXPECT_TRUE(has(info.out, "3 ISO 9660 sessions, the newest named \"Photos\"")) << info.out;
    EXPECT_TRUE(has(info.out, "Session 3:   track 3, data")) << info.out;

    // A name on the disc is replaced only when asked; nothing is written otherwise.
    const auto again = burn("A", {"--append"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(has(again.err, "/A/A.txt is on the disc already")) << again.err;
    EXPECT_EQ(xorrisoSessions().size(), 3u);

    // Unasked, the disc is not written over; the reason says what it holds and what can be done.
    const auto refused = burn("D");
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(has(refused.err, "holds 3 ISO 9660 sessions")) << refused.err;
    EXPECT_TRUE(has(refused.err, "--append") && has(refused.err, "--overwrite")) << refused.err;
    EXPECT_EQ(xorrisoSessions().size(), 3u);

    EXPECT_EQ(kilnware({"check", disc}).status, 0);
    // A byte of B.txt, written in the second session, turned.
    const std::string report = xorriso({"-find", "/B/B.txt", "-exec", "report_lba", "--"}).out;
    std::smatch found;
    ASSERT_TRUE(std::regex_search(report, found, std::regex("File data lba: +0 , +([0-9]+) ,")))
        << report;
    const long block = std::stol(found[1]);
    {
        std::fstream file(disc, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(block * 2048 + 100);
        file.put('x');
    }
    const auto checked = kilnware({"check", disc});
    EXPECT_EQ(checked.status, 1);
    EXPECT_TRUE(has(checked.out, "Session 1 (blocks 32 to")) << checked.out;
    EXPECT_TRUE(std::regex_search(checked.out, std::regex("Session 1 [^\n]*intact")));
    EXPECT_TRUE(std::regex_search(checked.out, std::regex("Session 3 [^\n]*intact")));
    EXPECT_TRUE(std::regex_search(
        checked.out, std::regex("Session 2 [^\n]*damaged [^\n]*/B/B.txt \\(from block " +
                                std::to_string(block) + "\\)")))
        << checked.out;

    // libburn's write-once media: the file opened for reading only is a closed disc, read back
    // and refused for every burn; opened for writing only, it is never taken for blank, and its
    // sessions cannot be read back, so none is added after them; a stream (a character device)
    // is a blank one that takes one session, and cannot be read back.
    const int readOnly = ::open(disc.c_str(), O_RDONLY);  // the command inherits both
    const int writeOnly = ::open(disc.c_str(), O_WRONLY);
    ASSERT_GE(readOnly, 0);
    ASSERT_GE(writeOnly, 0);
    const std::string closed = "stdio:/dev/fd/" + std::to_string(readOnly);
    const std::string unreadable = "stdio:/dev/fd/" + std::to_string(writeOnly);
    struct WriteOnce {
        std::string recorder;
        const char* flag;
        int status;
        const char* says;
    };
    const WriteOnce writeOnce[] = {
        {closed, nullptr, 3, "holds 3 ISO 9660 sessions, the newest named \"Photos\", "},
        {closed, nullptr, 3, ", and it is closed: insert a blank disc."},
        {closed, "--append", 3, ", and it is closed: no session can be added to it."},
        {closed, "--overwrite", 3, ", and it is closed: insert a blank disc."},
        {unreadable, "--overwrite", 3, "; it cannot be written over."},
        {unreadable, "--append", 3,
         ": its sessions cannot be read back, so no session can be added after them."},
        {"stdio:/dev/null", "--append", 0, ""},
        {"stdio:/dev/null", "--verify", 1, "cannot read back what it writes"},
        {"stdio:/dev/full", nullptr, 1, "(No space left on device)"},
    };
    for (const WriteOnce& c : writeOnce) {
        SCOPED_TRACE(c.recorder + " " + (c.flag ? c.flag : ""));
        std::vector<std::string> arguments = {"data", dir.file("D"), "--yes", "--recorder",
                                              c.recorder};
        if (c.flag) {
            arguments.push_back(c.flag);
        }
        const auto run = kilnware(arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(has(run.err, c.says)) << run.err;
    }
    EXPECT_TRUE(has(kilnware({"info", "--recorder", closed}).out, "Medium:      a file, closed"));
    EXPECT_EQ(kilnware({"check", "--recorder", closed}).out, checked.out);
    const auto unread = kilnware({"ls", "--recorder", unreadable});
    EXPECT_EQ(unread.status, 1);
    EXPECT_TRUE(has(unread.err, "The sessions on the medium cannot be read back.")) << unread.err;
    // The capacity of each is what it holds and the room after it (a stream's as libburn has it).
    for (const std::string& recorder : {closed, unreadable, std::string("stdio:/dev/null")}) {
        const std::string shown = kilnware({"info", "--recorder", recorder}).out;
        std::smatch blocks;
        ASSERT_TRUE(
            std::regex_search(shown, blocks,
                              std::regex("Capacity: .*\\((\\d+) blocks\\)\nUsed: .*\\((\\d+) "
                                         "blocks\\)\nFree: .*\\((\\d+) blocks\\)")))
            << shown;
        EXPECT_GT(std::stoull(blocks[1]), 0u) << shown;
        EXPECT_EQ(std::stoull(blocks[1]), std::stoull(blocks[2]) + std::stoull(blocks[3])) << shown;
    }
    ::close(readOnly);
    ::close(writeOnly);
    EXPECT_EQ(xorrisoSessions().size(), 3u);

    // Asked, it is written over: one session, the new files alone.
    ASSERT_EQ(burn("D", {"--overwrite"}).status, 0);
    EXPECT_EQ(xorrisoSessions(), std::vector<int>{32});
    const std::string now = kilnware({"ls", disc}).out;
    EXPECT_TRUE(has(now, "'D'") && !has(now, "'A'")) << now;
}

// Files that hold something else are not written over unasked either; the image recorder, whose
// media are always blank, takes no sessions.
TEST_F(Sessions, OtherContentIsRefusedAndTheImageRecorderTakesNoSession) {
    fs::create_directories(dir.file("D"));
    test::writeFile(dir.file("D/d.txt"), "d");
    test::writeFile(disc, std::string(3 << 20, 'x'));  // a document
    const auto refused = burn("D");
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(has(refused.err, "holds 3.15 MB of data. Write over it with --overwrite"))
        << refused.err;
    const auto appended = burn("D", {"--append"});
    EXPECT_EQ(appended.status, 3);
    EXPECT_TRUE(has(appended.err, "a session can be added only to ISO 9660 sessions"))
        << appended.err;
    EXPECT_EQ(test::readFile(disc), std::string(3 << 20, 'x'));
    const auto image =
        kilnware({"data", dir.file("D"), "--append", "--yes", "--image-dir", dir.file("out")});
    EXPECT_EQ(image.status, 1);
    EXPECT_TRUE(has(image.err, "stdio:")) << image.err;
}

// The command run in-process on a recorder the test scripts, named "Drive": its exit status,
// what it said on standard error, and the burns the recorder was given.
struct Ran {
    int status;
    std::string err;
    std::vector<ScriptableRecorder::Burn> burns;
};
Ran runOn(const ScriptedMedium& medium, const std::vector<std::string>& arguments) {
    test::ScopedRecorder recorder("Drive", medium);
    std::ostringstream out, err;
    std::streambuf* const realOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* const realErr = std::cerr.rdbuf(err.rdbuf());
    const cli::Parsed parsed = cli::parseCommandLine(arguments, out, err);
    const int status = parsed.request ? cli::runCommand(*parsed.request) : parsed.status;
    std::cout.rdbuf(realOut);
    std::cerr.rdbuf(realErr);
    return {status, err.str(), recorder->burns()};
}

// The command's answers for media that hold data, on recorders the test scripts: write-once discs
// take sessions but are never written over; rewritables are, when asked; what the person asked
// goes on the burn. The library's own controller keeps its CD-R and CD-RW policy.
TEST(SessionsPolicy, WriteOnceDiscsTakeSessionsAndRewritablesAreWrittenOverWhenAsked) {
    ScriptedMedium rewritable = ScriptedMedium::withSessions(DRDeviceMediaTypeCDRW, 1, false);
    rewritable.erasable = true;
    ScriptedMedium inPlace = ScriptedMedium::withSessions(DRDeviceMediaTypeDVDPlusRW, 2, true);
    inPlace.overwritable = true;
    ScriptedMedium ext4 = inPlace;
    ext4.sessions.clear();
    ext4.content = DRDeviceMediaContentFileSystem;
    ext4.fileSystem = "ext4";
    ext4.appendable = false;
    const ScriptedMedium openCDR = ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 2, true);
    struct Case {
        const char* what;
        ScriptedMedium medium;
        std::vector<std::string> flags;  // after the command, mp3 where named first
        int status;
        const char* says;  // on standard error
        // What a burn that began was asked: DRBurnAppendKey, DRBurnOverwriteDiscKey, and
        // DRBurnAppendableKey.
        bool append = false, overwrite = false, leftOpen = true;
    };
    const Case cases[] = {
        {"blank CD-R", ScriptedMedium::blankCDR(), {}, 0, ""},
        {"open CD-R",
         openCDR,
         {},
         3,
         "holds 2 ISO 9660 sessions, the newest named \"PHOTOS\", 4.10 MB; a CDR cannot be "
         "written over. Add a session to it with --append."},
        {"open CD-R, appended", openCDR, {"--append"}, 0, "", true},
        {"open CD-R, an MP3 CD appended", openCDR, {"mp3", "--append"}, 0, "", true},
        {"open DVD-R, appended and closed",
         ScriptedMedium::withSessions(DRDeviceMediaTypeDVDR, 1, true),
         {"--append", "--close"},
         0,
         "",
         true,
         false,
         false},
        {"open BD-R, appended",
         ScriptedMedium::withSessions(DRDeviceMediaTypeBDR, 3, true),
         {"--append"},
         0,
         "",
         true},
        {"open CD-R, written over", openCDR, {"--overwrite"}, 3, "a CDR cannot be written over"},
        {"closed CD-R",
         ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 1, false),
         {"--append"},
         3,
         ", and it is closed: no session can be added to it."},
        {"closed DVD+R, written over",
         ScriptedMedium::withSessions(DRDeviceMediaTypeDVDPlusR, 1, false),
         {"--overwrite"},
         3,
         ", and it is closed: insert a blank disc."},
        {"closed CD-RW", rewritable, {}, 3, "MB. Write over it with --overwrite."},
        {"closed CD-RW, written over", rewritable, {"--overwrite"}, 0, "", false, true},
        {"DVD+RW sessions", inPlace, {}, 3, "--append, or write over it with --overwrite."},
        {"DVD+RW sessions, appended and closed",
         inPlace,
         {"--append", "--close"},
         0,
         "is written in place and cannot be closed: sessions can still be added",
         true,
         false,
         false},
        {"DVD+RW of ext4, appended",
         ext4,
         {"--append"},
         3,
         "holds an ext4 file system, 4.10 MB: a session can be added only to ISO 9660 sessions. "
         "Write over it with --overwrite instead."},
    };
    test::TempDir dir;
    test::writeFile(dir.file("song.mp3"), "song");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments = c.flags;
        if (arguments.empty() || arguments.front() != "mp3") {
            arguments.insert(arguments.begin(), "data");
        }
        arguments.insert(arguments.begin() + 1,
                         {dir.file("song.mp3"), "--yes", "--recorder", "Drive"});
        const Ran ran = runOn(c.medium, arguments);
        EXPECT_EQ(ran.status, c.status) << ran.err;
        EXPECT_TRUE(has(ran.err, c.says)) << ran.err;
        ASSERT_EQ(ran.burns.size(), c.status == 0 ? 1u : 0u);
        if (c.status == 0) {
            const Dictionary& asked = ran.burns.front().properties;
            EXPECT_EQ(asked[DRBurnAppendKey].boolValue(), c.append);
            EXPECT_EQ(asked[DRBurnOverwriteDiscKey].boolValue(), c.overwrite);
            EXPECT_EQ(asked[DRBurnAppendableKey].boolValue(), c.leftOpen);
        }
    }
    using cli::HostBurn;
    auto panel = DRBurnSetupPanel::setupPanel();
    // Said yes to, the question is not asked again and the rewritable is taken.
    auto recorder = ScriptableRecorder::create("Drive", "USB", rewritable);
    cli::BurnWishes wishes;
    wishes.media.sessions = true;
    auto host = std::make_shared<HostBurn>(wishes);
    EXPECT_TRUE(has(host->overwriteQuestion(*recorder).value_or(""),
                    "holds an ISO 9660 session named \"PHOTOS\", 2.05 MB. Write over it, losing "
                    "what it holds?"));
    host->allowOverwrite(*recorder);
    std::optional<std::string> prompt;
    EXPECT_TRUE(host->deviceContainsSuitableMedia(*panel, recorder, prompt));
    EXPECT_FALSE(host->overwriteQuestion(*recorder));
    // The library answers by the medium's type alone.
    auto library = std::make_shared<VXBurn>();
    auto open = ScriptableRecorder::create(
        "CD-R", "USB", ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 2, true));
    EXPECT_TRUE(library->deviceContainsSuitableMedia(*panel, open, prompt));
}

}  // namespace
}  // namespace kilnware
