#include <dvdread/dvd_reader.h>
#include <dvdread/dvd_udf.h>
#include <dvdread/ifo_read.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <sstream>
#include <tuple>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "Kilnware/VideoWork.h"
#include "StandInRun.h"
#include "VolumeName.h"
#include "platform/foundation/Utf8.h"
#include "tests/support/ImageReadBack.h"
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
        const std::string pal = dir.file("pal.mpg"), longer = dir.file("longer.mpg");
        makeClip(pal, "pal-dvd");
        makeClip(longer, "pal-dvd", {"-t", "3"});
        writeFile(dir.file("simple.xml"), video::projectFileText(simple, {pal}));
        author(kDvdauthorStandIn, "simple.xml");
        auto pgc = [](const std::string& file) {
            return "<pgc><vob file=\"" + file + "\"/></pgc>";
        };
        writeFile(dir.file("menus.xml"), "<dvdauthor dest=\"" + menus + "\"><vmgm><menus>" +
                                             pgc(pal) + "</menus></vmgm><titleset><menus>" +
                                             pgc(pal) + "</menus><titles>" + pgc(longer) +
                                             "</titles></titleset><titleset><titles>" + pgc(pal) +
                                             pgc(longer) + "</titles></titleset></dvdauthor>");
        author("dvdauthor", "menus.xml");
    }
    void author(const std::string& program, const std::string& project) const {
        RunResult authored = runProgram(program, {"-x", dir.file(project)}, {"VIDEO_FORMAT=PAL"});
        if (authored.status != 0) {
            throw std::runtime_error(program + ": " + authored.err);
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

bool mentionsKilnware(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("kilnware") != std::string::npos;
}

// The volume identifiers of the primary and the Joliet descriptors, as stored: genisoimage puts
// them first, at sectors 16 and 17.
std::pair<std::string, std::string> isoAndJolietNames(const std::string& image) {
    const std::string data = readFile(image);
    EXPECT_EQ(data.substr(16 * 2048, 6) + data.substr(17 * 2048, 6), "\1CD001\2CD001");
    return {data.substr(16 * 2048 + 40, 32), data.substr(17 * 2048 + 40, 32)};
}

using DvdImage = std::unique_ptr<dvd_reader_t, decltype(&DVDClose)>;

// A player reaches every file through sector numbers in the IFOs, counted from VIDEO_TS.IFO; each
// must match where UDF put the file.
void expectFilesWhereTheIfosSay(const DvdImage& dvd, const std::string& videoTs) {
    // The sector UDF gives for a file of VIDEO_TS; 0 when UDF has no such file.
    auto sector = [&](const std::string& name) {
        std::uint32_t size = 0;
        return UDFFindFile(dvd.get(), ("/VIDEO_TS/" + name).c_str(), &size);
    };
    std::string vmg = readFile(videoTs + "/VIDEO_TS.IFO");
    const std::uint32_t base = sector("VIDEO_TS.IFO");
    ASSERT_NE(base, 0u);
    EXPECT_EQ(sector("VIDEO_TS.BUP"), base + u32(vmg, 0x0C) - u32(vmg, 0x1C));
    if (u32(vmg, 0xC0) != 0) {
        EXPECT_EQ(sector("VIDEO_TS.VOB"), base + u32(vmg, 0xC0));
    }
    const std::size_t table = u32(vmg, 0xC4) * 2048u;
    const int titles =
        (static_cast<unsigned char>(vmg[table]) << 8) | static_cast<unsigned char>(vmg[table + 1]);
    for (int title = 0; title < titles; ++title) {
        const std::size_t entry = table + 8 + 12 * static_cast<std::size_t>(title);
        char set[4];
        std::snprintf(set, sizeof set, "%02d", static_cast<unsigned char>(vmg[entry + 6]));
        const std::string prefix = std::string("VTS_") + set + "_";
        const std::uint32_t start = sector(prefix + "0.IFO");
        EXPECT_EQ(start, base + u32(vmg, entry + 8)) << prefix;
        std::string vts = readFile(videoTs + "/" + prefix + "0.IFO");
        EXPECT_EQ(sector(prefix + "0.BUP"), start + u32(vts, 0x0C) - u32(vts, 0x1C));
        if (u32(vts, 0xC0) != 0) {
            EXPECT_EQ(sector(prefix + "0.VOB"), start + u32(vts, 0xC0)) << prefix;
        }
        EXPECT_EQ(sector(prefix + "1.VOB"), start + u32(vts, 0xC4)) << prefix;
    }
}

class HdiutilStandIn : public ::testing::Test {
protected:
    // Nothing but the image (or nothing at all) beside it: no temporary file left over.
    std::vector<std::string> outputFolder() const { return filesIn(out); }

    RunResult makehybrid(const std::string& folder, const std::string& volumeName = "T",
                         const std::vector<std::string>& environment = {}) const {
        return runProgram(kStandIn, hdiutilArguments(volumeName, image, folder), environment);
    }

    // The environment of a run on a disk that fails to do `fail`, its calls recorded in `calls`.
    std::vector<std::string> disk(const std::string& fail, const std::string& calls) const {
        const char* asan = std::getenv("ASAN_OPTIONS");
        return {std::string("LD_PRELOAD=") + KILNWARE_IO_SHIM,
                "KILNWARE_IO_WATCH=" + std::filesystem::canonical(out).string(),
                "KILNWARE_IO_FAIL=" + fail, "KILNWARE_IO_LOG=" + calls,
                // The shim comes before AddressSanitizer's runtime, which it calls on.
                std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
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
        RunResult made = makehybrid(folder);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(outputFolder(), std::vector<std::string>{"disc.iso"});

        RunResult udf = runProgram("udfinfo", {image});
        EXPECT_NE(udf.out.find("\nudfrev=1.02\n"), std::string::npos) << udf.out << udf.err;
        RunResult joliet = runProgram("isoinfo", {"-J", "-l", "-i", image});
        EXPECT_NE(joliet.out.find("Directory listing of /VIDEO_TS/"), std::string::npos);
        EXPECT_NE(joliet.out.find("VTS_01_1.VOB"), std::string::npos) << joliet.out;
        // The padding that fills the gaps is in no directory, only its sectors are.
        EXPECT_FALSE(mentionsKilnware(runProgram("isoinfo", {"-l", "-i", image}).out + joliet.out +
                                      readFile(image)));

        DvdImage dvd(DVDOpen(image.c_str()), DVDClose);
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
    RunResult made = makehybrid(folder, title);
    ASSERT_EQ(made.status, 0) << made.err;
    auto [isoName, jolietName] = isoAndJolietNames(image);
    EXPECT_EQ(isoName, "_T____LA_PLAGE___VID_OS_DE_FAMIL");
    EXPECT_EQ(jolietName,
              std::string("\0\xC9\0t\0\xE9\0 \0\xE0\0 \0l\0a\0 \0p\0l\0a\0g\0e\0 \x20\x14", 32));
    RunResult udf = runProgram("udfinfo", {image});
    // genisoimage's UDF name: the whole characters of the first 32 bytes.
    EXPECT_NE(udf.out.find("\nlabel=Été à la plage — vidéos de\n"), std::string::npos) << udf.out;
    // isoinfo shows Joliet names in Latin-1, where the dash has no place.
    RunResult joliet = runProgram("isoinfo", {"-J", "-l", "-i", image});
    EXPECT_NE(joliet.out.find("\xC9t\xE9 2024 _ un nom de fichier assez long pour d\xE9passer "
                              "soixante-quatre caract\xE8res.txt"),
              std::string::npos)
        << joliet.out;

    std::filesystem::remove(image);
    made = makehybrid(folder, "");
    ASSERT_EQ(made.status, 0) << made.err;
    udf = runProgram("udfinfo", {image});
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
    wrong.push_back(arguments);
    wrong.back().push_back("-ov");
    for (std::size_t at : {9, 10}) {  // an empty image or folder
        wrong.push_back(arguments);
        wrong.back()[at] = "";
    }
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
    auto copyOfSimple = [this](const std::string& name) {
        std::filesystem::copy(discs().simple, dir.file(name),
                              std::filesystem::copy_options::recursive);
        return dir.file(name);
    };
    // A VIDEO_TS whose IFO is not one cannot be laid out.
    const std::string broken = copyOfSimple("broken");
    writeFile(broken + "/VIDEO_TS/VIDEO_TS.IFO", "DVDVIDEO-VMG");
    const std::string missing = copyOfSimple("missing");
    std::filesystem::remove(missing + "/VIDEO_TS/VTS_01_1.VOB");
    // IFOs that place a title set over the files before it, or far past any disc.
    auto withTitleSetAt = [&](const std::string& name, std::uint32_t start) {
        const std::string ifo = copyOfSimple(name) + "/VIDEO_TS/VIDEO_TS.IFO";
        std::string vmg = readFile(ifo);
        const std::size_t entry = u32(vmg, 0xC4) * 2048u + 8;
        for (std::size_t i = 0; i < 4; ++i) {
            vmg[entry + 8 + i] = static_cast<char>(start >> (24 - 8 * i));
        }
        writeFile(ifo, vmg);
        return dir.file(name);
    };

    struct Case {
        std::string folder;
        std::string reason;
        std::string at = {};  // the image, when not the fixture's
        std::string volumeName = "T";
        std::string fail = {};  // what the disk fails to do (tests/helpers/io_shim.cpp)
    };
    const std::string lost = "Input/output error; no image written";
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
        {discs().simple, "cannot write", dir.file("nowhere/disc.iso")},
        {discs().simple, "names a folder", dir.file("nowhere/..")},
        {discs().simple, "not valid UTF-8", image, "\xC3"},
        {discs().simple, "cannot name the image " + image + ": " + lost, image, "T", "name"},
        {discs().simple, lost, image, "T", "fsync-folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " " + c.at + " " + c.fail);
        RunResult failed = runProgram(
            kStandIn, hdiutilArguments(c.volumeName, c.at.empty() ? image : c.at, c.folder),
            c.fail.empty() ? std::vector<std::string>{} : disk(c.fail, ""));
        EXPECT_EQ(failed.status, 1);
        EXPECT_NE(failed.err.find(c.reason), std::string::npos) << failed.err;
        EXPECT_TRUE(outputFolder().empty());
    }
    EXPECT_FALSE(pathExists(dir.file("nowhere")));
    // Whichever flush or close of the image's files fails before it is on the disk under its
    // name, the run fails and leaves nothing; one after that (of a descriptor left) harms nothing.
    for (const std::string kind : {"fsync", "close"}) {
        int n = 1;
        for (; n < 20; ++n) {
            const std::string fail = kind + ":" + std::to_string(n), calls = dir.file(fail);
            SCOPED_TRACE(fail);
            const RunResult run = makehybrid(discs().simple, "T", disk(fail, calls));
            const std::string said = readFile(calls);
            const auto failed = said.find("fail " + kind);
            if (failed == std::string::npos) {
                EXPECT_EQ(run.status, 0) << run.err;  // past the last one
                std::filesystem::remove(image);
                break;
            }
            if (failed > said.find("name ")) {
                // Until the folder is flushed, a close is the image's own: it fails the run and
                // takes the name away again; one after that (of a descriptor left) harms nothing.
                struct stat folder {};
                ASSERT_EQ(::stat(out.c_str(), &folder), 0);
                const bool own =
                    failed < said.find("fsync " + std::to_string(folder.st_ino) + "\n", failed);
                EXPECT_EQ(run.status, own ? 1 : 0) << run.err;
                EXPECT_EQ(pathExists(image), !own);
                std::filesystem::remove(image);
                continue;
            }
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find(lost), std::string::npos) << run.err;
            EXPECT_TRUE(outputFolder().empty());
        }
        EXPECT_GT(n, 1) << kind;
        EXPECT_LT(n, 20) << kind;
    }
    // Made whole, the image is flushed, then named, then its folder flushed.
    const std::string calls = dir.file("calls");
    ASSERT_EQ(makehybrid(discs().simple, "T", disk("", calls)).status, 0);
    EXPECT_EQ(durabilityProblem(calls, std::filesystem::canonical(out), "disc.iso"), "");
    std::filesystem::remove(image);

    // What stands at the image's name stays as it was.
    writeFile(image, "earlier image");
    RunResult existing = makehybrid(discs().simple);
    EXPECT_EQ(existing.status, 1);
    EXPECT_NE(existing.err.find("already exists"), std::string::npos) << existing.err;
    EXPECT_EQ(readFile(image), "earlier image");
    std::filesystem::remove(image);
    std::filesystem::create_directory(image);
    EXPECT_EQ(makehybrid(discs().simple).status, 1);
    EXPECT_TRUE(std::filesystem::is_empty(image));
    EXPECT_EQ(outputFolder(), std::vector<std::string>{"disc.iso"});
}

// Rock Ridge as `genisoimage -r` makes it: every file readable by all, owned by root. A link is
// left out and said (genisoimage would write it into Joliet and UDF as an empty file), and a
// title beyond UCS-2 still makes an image.
TEST_F(HdiutilStandIn, EveryFileIsReadableByAllAndLinksAreLeftOut) {
    const std::string folder = dir.file("files");
    std::filesystem::create_directory(folder);
    writeFile(folder + "/private.txt", "mine");
    std::filesystem::permissions(folder + "/private.txt", std::filesystem::perms::owner_read);
    std::filesystem::create_symlink("/etc/hostname", folder + "/escape");
    RunResult made = makehybrid(folder, "🎵 Trip");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("left out " + folder + "/escape, a link"), std::string::npos)
        << made.err;
    EXPECT_EQ(rockRidgeItems(image),
              (std::vector<std::string>{"-r--r--r-- 0 0 /private.txt", "dr-xr-xr-x 0 0 /"}));
    EXPECT_EQ(sevenZipPaths(image, "Udf"), std::vector<std::string>{"private.txt"});
    EXPECT_NE(runProgram("udfinfo", {image}).out.find("\nlabel=_ Trip\n"), std::string::npos);
}

// Reads one line that a program writes into the FIFO `fd`, waiting for it (the bound only fails a
// program that hangs).
std::string lineFrom(int fd) {
    std::string line;
    char c = 0;
    while (c != '\n') {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 240'000) <= 0) {
            return "(nothing came)";
        }
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return line;
        }
        line += c;
    }
    return line;
}

// The worst of a shared folder: another user, who owns the image's folder, swaps each new entry
// there for a link to a file only root may read and write the moment it appears. A root run makes
// its image all the same, and root's file keeps its bytes and its mode.
TEST_F(HdiutilStandIn, LinksSwappedInByAnotherUserReachNoFileOfRoots) {
    const auto user = otherUser();
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(::chown(out.c_str(), user.uid, user.gid), 0);
    const std::string secret = dir.file("secret");
    writeFile(secret, "root's own");
    ::chmod(secret.c_str(), 0600);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t attacker = startAsOtherUser([&]() -> bool {
        const int watch = ::inotify_init();
        ::inotify_add_watch(watch, out.c_str(), IN_CREATE | IN_MOVED_TO);
        ::close(ready[0]);
        ::close(ready[1]);  // the test goes on
        alignas(inotify_event) char events[4096];
        for (int moved = 0;;) {
            const ssize_t got = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                const std::string name = event->len ? event->name : "";
                if (!name.empty() && name != "disc.iso" && !name.starts_with("moved-")) {
                    const std::string path = out + "/" + name;
                    const std::string away = out + "/moved-" + std::to_string(++moved);
                    if (::rename(path.c_str(), away.c_str()) == 0) {
                        ::symlink(secret.c_str(), path.c_str());
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    });
    ::close(ready[1]);
    char nothing;
    EXPECT_EQ(::read(ready[0], &nothing, 1), 0);  // the watch is set
    ::close(ready[0]);
    const RunResult made = makehybrid(discs().simple);
    ::kill(attacker, SIGKILL);
    ::waitpid(attacker, nullptr, 0);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(readFile(secret) == "root's own") << "root's file was written through a link";
    struct stat info {};
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(outputFolder(), std::vector<std::string>{"disc.iso"});
}

// Killed after its grace period, while the program it runs ignores the request to end (a
// genisoimage or dvdauthor deep in a slow disk): neither stand-in leaves a partial image beside the
// user's folder, nor a folder in $TMPDIR (or /tmp).
TEST_F(HdiutilStandIn, KilledAfterItsGracePeriodEitherStandInLeavesNothing) {
    const std::string tmp = dir.file("tmp"), bin = dir.file("bin");
    std::filesystem::create_directories(tmp);
    std::filesystem::create_directories(bin);
    // Each says, into a FIFO of its own, when it runs and when it is asked to end, and does not
    // end.
    for (const std::string program : {"genisoimage", "dvdauthor"}) {
        const std::string said = dir.file(program + ".said");
        ASSERT_EQ(::mkfifo(said.c_str(), 0600), 0);
        writeFile(bin + "/" + program,
                  "#!/bin/sh\nexec 3>" + said +
                      "\ntrap 'echo term >&3' TERM INT HUP\nsleep 1000 3>&- &\n"
                      "echo $$ $! >&3\nwhile :; do wait $!; done\n");
        ::chmod((bin + "/" + program).c_str(), 0755);
    }
    const std::string dest = dir.file("dvd"), project = dir.file("dvd.xml");
    writeFile(project, video::projectFileText(dest, {discs().dir.file("pal.mpg")}));
    const auto ours = [&](const std::string& folder) {
        auto names = filesIn(folder);
        std::erase_if(names, [](const std::string& name) {
            return !name.starts_with("kilnware-dvdauthor") && !name.starts_with("kilnware-hdiutil");
        });
        return names;
    };
    const auto inTmp = ours("/tmp");
    for (const auto& [standIn, arguments, program] :
         {std::tuple{kStandIn, hdiutilArguments("T", image, discs().simple), "genisoimage"},
          std::tuple{kDvdauthorStandIn, std::vector<std::string>{"-x", project}, "dvdauthor"}}) {
        SCOPED_TRACE(standIn);
        StartedProgram run(standIn, arguments, {"PATH=" + bin + ":/usr/bin:/bin", "TMPDIR=" + tmp});
        const int fifo =
            ::open(dir.file(std::string(program) + ".said").c_str(), O_RDONLY | O_CLOEXEC);
        std::istringstream started(lineFrom(fifo));
        pid_t child = 0, sleeper = 0;
        started >> child >> sleeper;
        ASSERT_GT(sleeper, 0);
        ::kill(run.pid, SIGTERM);
        EXPECT_EQ(lineFrom(fifo), "term\n");  // passed on: the stand-in has done what it does
        for (pid_t pid : {run.pid, child, sleeper}) {
            ::kill(pid, SIGKILL);
        }
        ::close(fifo);
        run.finish();
        EXPECT_TRUE(outputFolder().empty());
        EXPECT_TRUE(std::filesystem::is_empty(tmp));
        EXPECT_EQ(ours("/tmp"), inTmp);
    }
}

// (Lengths and alphabets are checked by the image test above and the volume_name fuzz target.)
TEST(VolumeName, CutsWhereEachFileSystemEnds) {
    // Joliet is UCS-2: a character past it becomes '_'.
    EXPECT_EQ(standins::jolietVolumeIdentifier(U"A\U0001F600").substr(0, 4),
              std::string("\0A\0_", 4));
    EXPECT_EQ(platform::cutUtf8("aé", 2), "a");
    EXPECT_EQ(platform::cutUtf8("a€b", 3), "a");
    EXPECT_EQ(platform::cutUtf8("a€b", 4), "a€");
}

}  // namespace
}  // namespace kilnware::test
