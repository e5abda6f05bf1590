// Discs that hold data: never written over unasked, sessions added on request, checked later. On a
// libburn pseudo-drive (a file, written in place like a DVD+RW), read back by xorriso too; and the
// command's answers for media that libburn cannot make (write-once discs) on scriptable recorders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include <kilnware/platform/engines/virtual/ScriptableRecorder.h>
#include <kilnware/platform/panels/Panels.h>

#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"
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

// The command's answers for media that hold data, on recorders the test scripts: write-once discs
// take sessions but are never written over; rewritables are, when asked; what the person asked
// goes on the burn. The library's own controller keeps its CD-R and CD-RW policy.
TEST(SessionsPolicy, WriteOnceDiscsTakeSessionsAndRewritablesAreWrittenOverWhenAsked) {
    using cli::HostBurn;
    using cli::MediaRequest;
    ScriptedMedium rewritable = ScriptedMedium::withSessions(DRDeviceMediaTypeCDRW, 1, false);
    rewritable.erasable = true;
    ScriptedMedium inPlace = ScriptedMedium::withSessions(DRDeviceMediaTypeDVDPlusRW, 2, true);
    inPlace.overwritable = true;
    ScriptedMedium ext4 = inPlace;
    ext4.sessions.clear();
    ext4.content = DRDeviceMediaContentFileSystem;
    ext4.fileSystem = "ext4";
    ext4.appendable = false;
    struct Case {
        const char* what;
        ScriptedMedium medium;
        MediaRequest request;
        bool suitable;
        const char* says;  // in the prompt, or in the question when one is asked
    };
    const MediaRequest none{.sessions = true}, append{.append = true, .sessions = true},
        overwrite{.overwrite = true, .sessions = true};
    const Case cases[] = {
        {"blank CD-R", ScriptedMedium::blankCDR(), none, true, ""},
        {"open CD-R", ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 2, true), none, false,
         "holds 2 ISO 9660 sessions, the newest named \"PHOTOS\", 4.10 MB; a CDR cannot be "
         "written over. Add a session to it with --append."},
        {"open CD-R, appended", ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 2, true), append,
         true, ""},
        {"open CD-R, written over", ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 2, true),
         overwrite, false, "cannot be written over"},
        {"closed CD-R", ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 1, false), append, false,
         "and it is closed: no session can be added"},
        {"closed CD-R, written over", ScriptedMedium::withSessions(DRDeviceMediaTypeCDR, 1, false),
         overwrite, false, "closed: insert a blank disc"},
        {"closed CD-RW", rewritable, none, false, "Write over it, losing what it holds?"},
        {"closed CD-RW, written over", rewritable, overwrite, true, ""},
        {"DVD+RW sessions", inPlace, none, false, "--append, or write over it with --overwrite"},
        {"DVD+RW sessions, appended", inPlace, append, true, ""},
        {"DVD+RW of ext4, appended", ext4, append, false,
         "holds an ext4 file system, 4.10 MB: a session can be added only to ISO 9660 sessions. "
         "Write over it with --overwrite instead."},
    };
    const auto hostFor = [](const MediaRequest& request) {
        cli::BurnWishes wishes;
        wishes.media = request;
        return std::make_shared<HostBurn>(wishes);
    };
    auto panel = DRBurnSetupPanel::setupPanel();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto recorder = ScriptableRecorder::create("Drive", "USB", c.medium);
        auto host = hostFor(c.request);
        std::optional<std::string> prompt;
        const std::shared_ptr<DRDevice> device = recorder;
        EXPECT_EQ(host->deviceContainsSuitableMedia(*panel, device, prompt), c.suitable);
        const std::string said =
            prompt.value_or("") + host->overwriteQuestion(*recorder).value_or("");
        EXPECT_TRUE(has(said, c.says)) << said;
        if (c.suitable) {
            auto burn = DRBurn::burnForDevice(recorder);
            host->applyRequest(*burn, *recorder);
            const Dictionary properties = burn->properties();
            EXPECT_EQ(properties[DRBurnAppendKey].boolValue(), c.request.append);
            EXPECT_EQ(properties[DRBurnOverwriteDiscKey].boolValue(),
                      c.request.overwrite && !c.medium.sessions.empty());
            EXPECT_TRUE(properties[DRBurnAppendableKey].boolValue());
        }
    }
    // Said yes to, the question is not asked again and the rewritable is taken.
    auto recorder = ScriptableRecorder::create("Drive", "USB", rewritable);
    auto host = hostFor(none);
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
