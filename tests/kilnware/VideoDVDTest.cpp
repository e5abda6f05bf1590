#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <thread>
#include <utility>

#include <fstream>
#include <sstream>

#include <kilnware/Kilnware.h>
#include "Kilnware/VideoWork.h"
#include "platform/foundation/WorkRecord.h"
#include "tests/support/BurnFixture.h"
#include "tests/support/Programs.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

TEST(VideoWorkPaths, ComeFromTheFirstMpegFile) {
    EXPECT_EQ(video::workPathsFor("/Movies/trip.mpg").image, "/Movies/trip.iso");
    EXPECT_EQ(video::workPathsFor("/m/clip.mpeg").project, "/m/clip.xml");
    // Where the file name holds no ".mpg", or a folder name holds it first, the file's own name
    // in its own folder gives the paths: never the file itself, never a folder outside.
    const std::pair<const char*, const char*> folders[] = {
        {"/m/a.mpg.bak", "/m/a"},   {"/a/b.mpg.c/d.mpg", "/a/b.mpg.c/d"},
        {"/m/clip.MPG", "/m/clip"}, {"/m/clip", "/m/clip_DVD"},
        {"/m/.mpg", "/m/.mpg_DVD"},
    };
    for (const auto& [mpeg, folder] : folders) {
        EXPECT_EQ(video::workPathsFor(mpeg).folder, folder) << mpeg;
    }
}

TEST(VideoProjectFile, IsExactAndEscapesWhatXmlWouldRead) {
    const std::string text = video::projectFileText(
        "/m/Tom & Jerry", {"/m/Tom & Jerry.mpg", "/m/say \"hi\".mpg", "/m/<c>.mpg"});
    EXPECT_EQ(text,
              "<dvdauthor dest= \"/m/Tom &amp; Jerry\">\n<vmgm />\n<titleset>\n<titles>\n<pgc>\n"
              "<vob file=\"/m/Tom &amp; Jerry.mpg\"/>\n"
              "<vob file=\"/m/say &quot;hi&quot;.mpg\"/>\n"
              "<vob file=\"/m/&lt;c&gt;.mpg\"/>\n"
              "</pgc>\n</titles>\n</titleset>\n</dvdauthor>");
}

class VideoDVD : public test::BurnTest {
protected:
    std::string toolLog;

    void SetUp() override {
        StandIns::registerStandIn("/Users/user/Desktop/dvdauthor", KILNWARE_FAKE_VIDEO_TOOLS);
        StandIns::registerStandIn("/usr/bin/hdiutil", KILNWARE_FAKE_VIDEO_TOOLS);
        toolLog = dir.file("tools.log");
        setenv("KILNWARE_FAKE_TOOL_LOG", toolLog.c_str(), 1);
        std::ofstream(dir.file("trip.mpg")) << "mpeg";
        std::ofstream(dir.file("more.mpg")) << "mpeg";
    }
    void TearDown() override {
        unsetenv("KILNWARE_FAKE_TOOL_LOG");
        unsetenv("KILNWARE_FAKE_IMAGE_FAILS");
    }
    // A prepared DVD-video folder "disc", and the tool log there from the start: the names in the
    // folder that a run must leave as they are.
    std::vector<std::string> withPreparedDisc() {
        std::filesystem::create_directories(dir.file("disc/VIDEO_TS"));
        writeFile(dir.file("disc/VIDEO_TS/VIDEO_TS.IFO"), "DVDVIDEO-VMG");
        writeFile(toolLog, "");
        return filesIn(dir.path());
    }
    // Each tool run, as the list of its arguments.
    std::vector<std::vector<std::string>> toolRuns() const {
        std::vector<std::vector<std::string>> runs;
        std::istringstream lines(readFile(toolLog));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            runs.emplace_back();
            for (std::string field; std::getline(fields, field, '\x1f');) {
                runs.back().push_back(field);
            }
        }
        return runs;
    }
};

TEST_F(VideoDVD, MpegRouteAuthorsImagesBurnsAndCleansUp) {
    // While the setup panel is up, the route's files are all there.
    answerer->confirmWith("Scripted CD-R", [&](DRSetupPanel&) {
        EXPECT_TRUE(pathExists(dir.file("trip/VIDEO_TS/VIDEO_TS.IFO")));
        EXPECT_TRUE(pathExists(dir.file("trip.xml")));
        EXPECT_TRUE(pathExists(dir.file("trip.iso")));
    });
    burn->BurnToVideoDVD({dir.file("trip.mpg"), dir.file("more.mpg")}, "Holiday");
    EXPECT_EQ(burn->isoPath, dir.file("trip.iso"));
    ASSERT_EQ(burn->trackArray.size(), 1u);
    EXPECT_FALSE(burn->m_VideoTask);
    auto runs = toolRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"-x", dir.file("trip.xml")}));
    EXPECT_EQ(runs[1],
              (std::vector<std::string>{"makehybrid", "-iso", "-joliet", "-udf", "-udf-version",
                                        "1.02", "-udf-volume-name", "Holiday", "-o",
                                        dir.file("trip.iso"), dir.file("trip")}));
    waitForBurns();
    EXPECT_EQ(answerer->progressShowings().at(0).description, "Burn Video DVD");
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);
    // The work files and their record are gone; the MPEG files stay.
    for (const char* name : {"trip.iso", "trip", "trip.xml", ".trip.iso.kilnware-work"}) {
        EXPECT_FALSE(pathExists(dir.file(name))) << name;
    }
    EXPECT_TRUE(pathExists(dir.file("trip.mpg")));
    EXPECT_TRUE(pathExists(dir.file("more.mpg")));
}

TEST_F(VideoDVD, NoLayoutWithoutAnImage) {
    setenv("KILNWARE_FAKE_IMAGE_FAILS", "1", 1);
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"burn is nil"});
    EXPECT_TRUE(burn->trackArray.empty());
    EXPECT_TRUE(answerer->setupShowings().empty());
    log.clear();
    burn->BurnTsFolderToDVD(dir.file("trip"), "T");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Burn is Nil"});
    // The first MPEG file's folder is gone: there is nothing to work in, and the route ends as
    // when no image came out.
    const auto runs = toolRuns().size();
    log.clear();
    burn->BurnToVideoDVD({dir.file("gone/trip.mpg")}, "T");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"burn is nil"});
    EXPECT_EQ(burn->isoPath, dir.file("gone/trip.iso"));
    EXPECT_EQ(burn->lastCall().kind, VXBurn::CallOutcome::Kind::Refused);
    EXPECT_EQ(toolRuns().size(), runs);
    EXPECT_TRUE(notices.entries().empty());
}

TEST_F(VideoDVD, PreparedFolderRouteNeverRemovesTheHostsFolder) {
    // Cancelled MPEG routes leave their work; each next run takes it as its own leftovers.
    for (int run = 0; run < 2; ++run) {
        answerer->cancel();
        burn->BurnToVideoDVD({dir.file("trip.mpg")}, std::string());
    }
    EXPECT_TRUE(log.lines().empty());
    // The host then burns that very folder, given with a trailing separator.
    answerer->confirmWith("Scripted CD-R");
    burn->BurnTsFolderToDVD(dir.file("trip") + "/", std::nullopt);
    EXPECT_EQ(burn->isoPath, dir.file("trip.iso"));
    auto runs = toolRuns();
    ASSERT_EQ(runs.size(), 5u);      // no authoring for the prepared folder
    EXPECT_EQ(runs[3].size(), 11u);  // an empty title reaches the image tool as given
    EXPECT_EQ(runs[3][7], "");
    EXPECT_EQ(runs[4][7], "Video DVD");
    EXPECT_EQ(runs[4][10], dir.file("trip") + "/");
    waitForBurns();
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);
    EXPECT_FALSE(pathExists(dir.file("trip.iso")));
    EXPECT_TRUE(pathExists(dir.file("trip/VIDEO_TS")));
    EXPECT_FALSE(pathExists(dir.file("trip.xml")));  // the earlier route's own project file
    // Given VIDEO_TS itself, the folder that holds it is imaged.
    answerer->cancel();
    burn->BurnTsFolderToDVD(dir.file("trip/VIDEO_TS/"), "T");
    EXPECT_EQ(burn->isoPath, dir.file("trip.iso"));
    EXPECT_EQ(toolRuns().back().at(10), dir.file("trip"));
}

TEST_F(VideoDVD, NoRouteStartsWhileABurnRunsAndALaterBurnRemovesAFailedOnesFiles) {
    recorder->failNextBurn("Write error");
    answerer->confirmWith("Scripted CD-R");
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    // The burn ends only through the run loop, which does not run meanwhile.
    const auto runsBefore = toolRuns().size();
    burn->BurnToVideoDVD({dir.file("more.mpg")}, "Other");
    burn->BurnTsFolderToDVD(dir.file("trip"), "Other");
    EXPECT_EQ(toolRuns().size(), runsBefore);
    EXPECT_EQ(burn->folderpath, dir.file("trip"));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>(
                  2, "A burn of this controller is still running: the video DVD was not started"));
    waitForBurns();
    EXPECT_TRUE(pathExists(dir.file("trip.iso")));
    // The failed burn holds its work no longer: the same controller runs that MPEG file again.
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    EXPECT_EQ(burn->lastCall().kind, VXBurn::CallOutcome::Kind::Cancelled);
    answerer->confirmWith("Scripted CD-R");
    burn->burnLayout(Value(burn->trackArray), "Burn Data Disc");
    waitForBurns(2);
    for (const char* name : {"trip.iso", "trip", "trip.xml"}) {
        EXPECT_FALSE(pathExists(dir.file(name))) << name;
    }
}

// Runs refused before anything is made: one log line says why, no tool runs, nothing is added
// and nothing of the user's is touched. Whatever a user keeps at the work paths of trip.mpg, of
// whatever name and shape, is not taken for an earlier run's work.
TEST_F(VideoDVD, RefusedRunsMakeAndTouchNothing) {
    struct Case {
        const char* what;
        std::string said;                        // the one log line, whole
        const char* kept;                        // made with content "mine"; it must survive
        std::function<void()> before = nullptr;  // anything else the case needs first
        std::vector<std::string> mpegs = {};     // trip.mpg when none
    };
    const auto isAnInput = [&](const std::string& name) {
        return "Not touching " + dir.file(name) + ": it is one of the MPEG files, or holds one";
    };
    const auto control = [](const std::string& path) {
        return "Not making a video DVD of " + path + ": its name holds a control character";
    };
    const auto notOurs = [&](const std::string& name) {
        return "Not touching " + dir.file(name) + ": it is no work of an earlier video DVD burn";
    };
    const std::string record = dir.file(".trip.iso.kilnware-work"), x = dir.file("x");
    const std::string iso = dir.file("trip.iso");
    std::unique_ptr<WorkRecord> held;
    std::string error;
    const Case cases[] = {
        {"an image as the MPEG file",
         isAnInput("movie.iso"),
         "movie.iso",
         nullptr,
         {dir.file("movie.iso")}},
        {"its work folder holds one",
         isAnInput("x"),
         "x/y.mpg",
         nullptr,
         {x + ".mpg", x + "/y.mpg"}},
        {"a line break",
         control(dir.file("a\nb.mpg")),
         "more.mpg",
         nullptr,
         {dir.file("a\nb.mpg")}},
        {"a tab",
         control(dir.file("tab\there.mpg")),
         "more.mpg",
         nullptr,
         {dir.file("tab\there.mpg")}},
        {"a folder of only VIDEO_TS", notOurs("trip"), "trip/VIDEO_TS/VTS_01_1.VOB"},
        {"a disc image of the user's", notOurs("trip.iso"), "trip.iso"},
        {"a project file no run made", notOurs("trip.xml"), "trip.xml"},
        {"a folder of more than VIDEO_TS and AUDIO_TS", notOurs("trip"), "trip/letter.txt",
         [&] { std::filesystem::create_directories(dir.file("trip/VIDEO_TS")); }},
        {"a forged record readable by others",
         "Not touching " + iso + ": " + record + " is not a record of this library's work",
         "trip.iso",
         [&] {
             writeFile(record, "kilnware-work 1\n");
             ::chmod(record.c_str(), 0644);
         }},
        {"an earlier run's project, changed since", notOurs("trip.xml"), "trip.xml",
         [&] {
             answerer->cancel();
             burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
         }},
        {"nothing, but another run holds the record",
         "Not touching " + iso + ": another run is working with " + iso + " now", "more.mpg",
         [&] { ASSERT_TRUE(held = WorkRecord::open(iso, error)) << error; }},
        // Saving it would write another file of the user's.
        {"a record with a second name",
         "Not touching " + iso + ": " + record + " is not a record of this library's work",
         "more.mpg",
         [&] {
             writeFile(record, "kilnware-work 1\n");
             ::chmod(record.c_str(), 0600);
             ::link(record.c_str(), dir.file("letter.txt").c_str());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.before) {
            c.before();
        }
        std::filesystem::create_directories(std::filesystem::path(dir.file(c.kept)).parent_path());
        writeFile(dir.file(c.kept), "mine");
        const bool earlierRun = bool(burn->fm);  // a refused run starts no work of its own
        const auto runs = toolRuns().size();
        const auto before = filesIn(dir.path());
        log.clear();
        burn->BurnToVideoDVD(
            c.mpegs.empty() ? std::vector<std::string>{dir.file("trip.mpg")} : c.mpegs, "T");
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.said);
        EXPECT_EQ(readFile(dir.file(c.kept)), "mine");
        EXPECT_EQ(toolRuns().size(), runs);
        EXPECT_EQ(filesIn(dir.path()), before);
        EXPECT_TRUE(earlierRun || !burn->fm);
        held.reset();
        for (const char* name : {"trip", "trip.iso", "trip.xml", ".trip.iso.kilnware-work"}) {
            std::filesystem::remove_all(dir.file(name));
        }
    }
    // No MPEG file, no prepared folder, or one without DVD-video: refused as well.
    const auto runs = toolRuns().size();
    log.clear();
    burn->BurnToVideoDVD({}, "T");
    burn->BurnTsFolderToDVD(std::nullopt, "T");
    std::filesystem::create_directories(dir.file("empty"));
    burn->BurnTsFolderToDVD(dir.file("empty"), "T");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Please show us a path of ts-Folder",
                                        dir.file("empty") + " is no DVD-video folder: it holds no "
                                                            "VIDEO_TS/VIDEO_TS.IFO",
                                        "Burn is Nil"}));
    EXPECT_EQ(burn->isoPath, dir.file("empty.iso"));
    EXPECT_FALSE(pathExists(dir.file("empty.iso")));
    EXPECT_EQ(toolRuns().size(), runs);
}

// A record that cannot be saved (a full disk; here a file-size limit that holds the library and
// not its tools) stops the route with the reason, and what the route made goes again.
TEST_F(VideoDVD, ARecordThatCannotBeSavedStopsTheRoute) {
    const auto before = withPreparedDisc();
    {
        FileSizeLimit limit(8);
        burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
        burn->BurnTsFolderToDVD(dir.file("disc"), "T");
    }
    const std::string why =
        "the record of this work cannot be saved in " + dir.path() + ": File too large";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "Could not create the DVD-video folder " + dir.file("trip") + ": " + why,
                  "Could not record the video DVD's work: " + why}));
    EXPECT_EQ(burn->lastCall().reason, "Could not record the video DVD's work: " + why + ".");
    EXPECT_TRUE(answerer->setupShowings().empty());
    EXPECT_EQ(filesIn(dir.path()), before);
}

// A signal, as a host passes it on (Task::terminateAll), at every step of either route: the route
// ends as cancelled without a setup panel (or its burn as cancelled), nothing of its work is left,
// and the next runs work.
TEST_F(VideoDVD, ASignalAtAnyStepCancelsAndLeavesNothing) {
    using video::Step;
    const auto before = withPreparedDisc();
    const Step mpegSteps[] = {Step::WorkTaken, Step::FolderMade, Step::ProjectWritten,
                              Step::Authoring, Step::Imaging,    Step::ImageMade,
                              Step::SetupPanel};
    const Step folderSteps[] = {Step::WorkTaken, Step::Imaging, Step::ImageMade, Step::SetupPanel};
    for (const bool mpeg : {true, false}) {
        for (const Step stop :
             mpeg ? std::span<const Step>(mpegSteps) : std::span<const Step>(folderSteps)) {
            SCOPED_TRACE(std::to_string(mpeg) + " " + std::to_string(static_cast<int>(stop)));
            int reached = 0;
            video::setStepHook([&](Step step) {
                reached += step == stop;
                if (step == stop) {
                    Task::terminateAll();
                }
            });
            log.clear();
            if (mpeg) {
                burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
            } else {
                burn->BurnTsFolderToDVD(dir.file("disc"), "T");
            }
            video::setStepHook(nullptr);
            EXPECT_EQ(reached, 1);
            EXPECT_EQ(burn->lastCall().kind, VXBurn::CallOutcome::Kind::Cancelled);
            EXPECT_EQ(log.lines(), std::vector<std::string>{
                                       "The video DVD was cancelled; its work files are removed"});
            EXPECT_EQ(filesIn(dir.path()), before);
        }
    }
    EXPECT_TRUE(answerer->setupShowings().empty());
    // During the burn, which the host cancels as it is told to stop; the burn ends only so.
    recorder->setOperationDuration(std::chrono::hours(24));
    answerer->cancelProgressAfter(1);
    answerer->confirmWith("Scripted CD-R", [](DRSetupPanel&) { Task::terminateAll(); });
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    waitForBurns();
    EXPECT_TRUE(burn->lastBurnWasCancelled());
    EXPECT_EQ(filesIn(dir.path()), before);
    // Later runs of both work.
    recorder->setOperationDuration(std::chrono::milliseconds(4));
    answerer->cancelProgressAfter(SIZE_MAX);
    answerer->confirmWith("Scripted CD-R");
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    waitForBurns(2);
    answerer->confirmWith("Scripted CD-R");
    burn->BurnTsFolderToDVD(dir.file("disc"), "T");
    waitForBurns(3);
    EXPECT_EQ(notices.count("BurnSucceed"), 2u);
    EXPECT_EQ(filesIn(dir.path()), before);
}

TEST_F(VideoDVD, AWorkFolderHoldingMoreThanTheRouteMadeStaysAfterTheBurn) {
    // The recorder's output put into the work folder, as "--image-dir trip" would.
    answerer->confirmWith("Scripted CD-R",
                          [&](DRSetupPanel&) { std::ofstream(dir.file("trip/Trip.iso")) << "x"; });
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    waitForBurns();
    EXPECT_EQ(notices.count("BurnSucceed"), 1u);
    EXPECT_TRUE(pathExists(dir.file("trip/Trip.iso")));
    EXPECT_FALSE(pathExists(dir.file("trip.iso")));
    EXPECT_FALSE(pathExists(dir.file("trip.xml")));
    const auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Not removing " + dir.file("trip") + ": it is not as this library made it"),
              lines.end());
}

// A host's file manager, which the controller asks to remove each proven work item; it may refuse,
// or do something first (`before`, on the first item).
class HostFiles : public FileManager {
public:
    bool removeProvenItem(const ProvenItem& item, std::string* error) const override {
        asked.push_back(item.path);
        if (std::exchange(before, false) && first) {
            first();
        }
        return !refuses && FileManager::removeProvenItem(item, error);
    }
    bool refuses = false;
    std::function<void()> first;
    mutable std::vector<std::string> asked;

private:
    mutable bool before = true;
};

TEST_F(VideoDVD, AHostsFileManagerIsAskedToRemoveTheWorkAndMayRefuse) {
    answerer->confirmWith("Scripted CD-R");
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    auto files = std::make_shared<HostFiles>();
    files->refuses = true;
    burn->fm = files;
    waitForBurns();
    EXPECT_EQ(files->asked, (std::vector<std::string>{dir.file("trip.iso"), dir.file("trip"),
                                                      dir.file("trip.xml")}));
    for (const char* name : {"trip.iso", "trip", "trip.xml"}) {
        EXPECT_TRUE(pathExists(dir.file(name))) << name;
    }
    // What it kept is still proven: the next run takes it as an earlier run's work.
    answerer->cancel();
    burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    EXPECT_EQ(burn->lastCall().kind, VXBurn::CallOutcome::Kind::Cancelled);
}

// The worst of a shared folder: another user, who owns the folder that holds the MPEG file's, swaps
// that folder for a link to a folder only root may enter, just as the proven work is removed. What
// goes is the work in the folder the route began in; root's files of the same names stay.
TEST_F(VideoDVD, AFolderSwappedWhileTheWorkIsRemovedReachesNothingElse) {
    const auto user = otherUser();
    ::chmod(dir.path().c_str(), 0755);
    const std::string home = dir.file("home"), movies = home + "/movies", locked = dir.file("root");
    std::filesystem::create_directories(movies);
    std::filesystem::create_directories(locked + "/trip");
    ASSERT_EQ(::chown(home.c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(::chown(movies.c_str(), user.uid, user.gid), 0);
    ::chmod(locked.c_str(), 0700);
    for (const char* name : {"/trip.iso", "/trip.xml", "/trip/keep"}) {
        writeFile(locked + name, "root's");
    }
    writeFile(movies + "/trip.mpg", "mpeg");
    answerer->confirmWith("Scripted CD-R");
    burn->BurnToVideoDVD({movies + "/trip.mpg"}, "T");
    auto files = std::make_shared<HostFiles>();
    files->first = [&] {
        EXPECT_TRUE(asOtherUser([&] {
            return ::rename(movies.c_str(), (home + "/away").c_str()) == 0 &&
                   ::symlink(locked.c_str(), movies.c_str()) == 0;
        }));
    };
    burn->fm = files;
    waitForBurns();
    EXPECT_EQ(files->asked.size(), 3u);
    for (const char* name : {"/trip.iso", "/trip.xml", "/trip/keep"}) {
        EXPECT_EQ(readFile(locked + name), "root's") << name;
    }
    for (const char* name : {"/trip.iso", "/trip.xml", "/trip"}) {
        EXPECT_FALSE(pathExists(home + "/away" + name)) << name;
    }
}

// A second thread swaps links to a victim in at the work paths, again and again, while runs make
// and clear their work: nothing is ever written or removed through them.
TEST_F(VideoDVD, ASwappedLinkRedirectsNoWriteOrRemoval) {
    // Tools that make nothing: each run ends with its folder and project, the next clears them.
    StandIns::registerStandIn("/Users/user/Desktop/dvdauthor", "/bin/true");
    std::filesystem::create_directories(dir.file("victim"));
    std::ofstream(dir.file("victim/keep")) << "mine";
    std::ofstream(dir.file("victim.txt")) << "mine";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (unsigned i = 0; !stop; ++i) {
            const std::string link = dir.file("link" + std::to_string(i % 2));
            const bool folder = i % 2 == 0;
            std::filesystem::remove(link);
            ::symlink(dir.file(folder ? "victim" : "victim.txt").c_str(), link.c_str());
            ::rename(link.c_str(), dir.file(folder ? "trip" : "trip.xml").c_str());
        }
    });
    for (int run = 0; run < 200; ++run) {
        burn->BurnToVideoDVD({dir.file("trip.mpg")}, "T");
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(readFile(dir.file("victim/keep")), "mine");
    EXPECT_EQ(readFile(dir.file("victim.txt")), "mine");
    EXPECT_EQ(filesIn(dir.file("victim")), std::vector<std::string>{"keep"});
}

}  // namespace
}  // namespace kilnware
