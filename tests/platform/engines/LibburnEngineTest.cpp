#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include <kilnware/platform/engines/libburn/LibburnEngine.h>
#include <kilnware/platform/panels/Panels.h>

#include "platform/engines/libburn/LibburnBurn.h"
#include "platform/engines/libburn/LibburnParts.h"
#include "platform/engines/libburn/UnopenableDrive.h"
#include "tests/platform/engines/ImageRecorderSupport.h"

namespace kilnware::platform {
namespace {

using test::FileTrack;
using test::pattern;
using test::readFile;

class LibburnEngineTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::string discPath = folder.file("disc.iso");
    LibburnEngine engine;
    std::vector<Dictionary> statuses;

    void TearDown() override {
        libburn::watchBurns({});
        engine.stop();
        RunLoop::current()->runUntilIdle();
    }

    // The pseudo-drive over discPath; a test that cannot have it fails.
    std::shared_ptr<LibburnRecorder> pseudoDrive() {
        auto recorder = engine.addRecorder("stdio:" + discPath);
        if (!recorder) {
            throw std::runtime_error("no pseudo-drive over " + discPath);
        }
        return recorder;
    }
    static bool busy(const std::shared_ptr<LibburnRecorder>& recorder) {
        return recorder->status()[DRDeviceIsBusyKey].boolValue();
    }
    static std::string said(const Dictionary& status) {
        return DROperation::errorText(status).value_or("");
    }
    static std::optional<std::string> state(const Dictionary& status) {
        return status[DRStatusStateKey].textValue();
    }
    // A track over the file `name` in the test's folder holding `bytes`.
    std::shared_ptr<DRTrack> fileTrack(const std::string& name, const std::string& bytes,
                                       DRTrack::Kind kind = DRTrack::Kind::Data,
                                       FileTrack::Options options = {}) {
        test::writeFile(folder.file(name), bytes);
        return std::make_shared<FileTrack>(folder.file(name), kind, std::move(options));
    }
    static bool announced(const std::shared_ptr<DRDevice>& device) {
        const auto all = DeviceRegistry::devices();
        return std::find(all.begin(), all.end(), device) != all.end();
    }
    Dictionary burn(const std::shared_ptr<DRBurn>& job, const Value& layout) {
        return test::burnAndWait(job, layout, statuses);
    }
};

// Rewritable discs are blanked, fast or in full, or formatted anew; a profile that is not known
// reads as an unknown medium written at DVD speed.
TEST(LibburnRecorderProfiles, RewritablesAreBlankedOrFormattedAndUnknownProfilesReadAsUnknown) {
    using libburn::EraseMethod;
    constexpr auto none = EraseMethod::None, fast = EraseMethod::BlankFast,
                   full = EraseMethod::BlankFull, format = EraseMethod::Format;
    const std::tuple<int, EraseMethod, EraseMethod> rows[] = {
        {0x09, none, none},   {0x0a, fast, full},   {0x13, fast, full},
        {0x12, none, format}, {0x43, none, format}, {libburn::kStdioProfile, none, none}};
    for (const auto& [profile, quick, complete] : rows) {
        EXPECT_EQ(libburn::eraseMethod(profile, false), quick) << profile;
        EXPECT_EQ(libburn::eraseMethod(profile, true), complete) << profile;
    }
    const libburn::ProfileInfo& unknown = libburn::profileInfo(0x50);
    EXPECT_STREQ(unknown.type, DRDeviceMediaTypeUnknown);
    EXPECT_STREQ(unknown.mediaClass, DRDeviceMediaClassUnknown);
    EXPECT_DOUBLE_EQ(unknown.speed1x, 1'385'000);
}

TEST(LibburnRecorderProfiles, MediumStateSpaceAndWritabilityFollowWhatLibburnSays) {
    constexpr auto b = burn::BURN_DISC_BLANK, a = burn::BURN_DISC_APPENDABLE,
                   f = burn::BURN_DISC_FULL;
    // flags: b blank, a appendable, o overwritable, e erasable, u sessions unreadable
    struct Row {
        const char* what;
        libburn::MediumReading reading;
        std::uint64_t free, used, overwritableBlocks;
        std::string flags;
        const char* content = nullptr;  // what it holds, when anything
    };
    // Sessions of one track each: data, or audio.
    const auto sessions = [](std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> spans) {
        std::vector<DRMediaSession> list;
        for (const auto& [start, length, audio] : spans) {
            const auto n = static_cast<std::uint32_t>(list.size() + 1);
            list.push_back({n, start, length, {{n, audio, start, length}}});
        }
        return list;
    };
    constexpr std::int64_t gib = 1 << 30;
    constexpr int stdio = libburn::kStdioProfile;
    const Row rows[] = {
        {"blank CD-R", {b, 0x09, 1, 700 << 20, 0}, 358400, 0, 0, "ba"},
        {"appendable CD-RW",
         {a, 0x0a, 1, 100 << 20, 1000, a, -1, sessions({{0, 1000, false}})},
         51200,
         1000,
         0,
         "ae",
         DRDeviceMediaContentData},
        {"closed DVD-R", {f, 0x11, 1, 4 * gib, 2000}, 0, 2000, 0, "", DRDeviceMediaContentData},
        {"closed DVD-RW", {f, 0x14, 1, 0, 2000}, 0, 2000, 0, "e", DRDeviceMediaContentData},
        {"DVD-RW to overwrite", {b, 0x13, 1, 4 * gib, 2'295'104}, 2'097'152, 0, 2'097'152, "baoe"},
        {"appendable BD-R",
         {a, 0x41, 1, 20 * gib, 5000, a, -1, sessions({{0, 5000, false}})},
         10'485'760,
         5000,
         0,
         "a",
         DRDeviceMediaContentData},
        {"BD-RE", {b, 0x43, 1, 24 * gib, 0}, 12'582'912, 0, 12'582'912, "baoe"},
        {"DVD+RW", {b, 0x1a, 1, 4 * gib, 0}, 2'097'152, 0, 2'097'152, "baoe"},
        {"DVD-RAM", {b, 0x12, 1, 4 * gib, 0}, 2'097'152, 0, 2'097'152, "baoe"},
        {"DVD-ROM", {f, 0x10, 1, 0, 3000}, 0, 3000, 0, "", DRDeviceMediaContentData},
        {"file of 40 blocks", {b, stdio, 2, gib, 40}, 524'288, 40, 524'288, "ao"},
        {"empty file", {b, stdio, 2, gib, 0}, 524'288, 0, 524'288, "bao"},
        {"write-only stream", {b, stdio, 3, gib, -1}, 524'288, 0, 0, "ba"},
        // A file that may only be written holds sessions nothing can read, nor add one after.
        {"write-only file", {a, stdio, 5, gib, 66}, 524'288, 66, 0, "au", DRDeviceMediaContentData},
        // What libisoburn sees: on files, sessions (whose space counts after the last), nothing
        // in the first blocks (blank, however long), or a file system or data (written over).
        {"file of zeros", {b, stdio, 2, gib, 40, b}, 524'288, 40, 524'288, "bao"},
        {"file holding ext4",
         {b, stdio, 2, gib, 40, f, -1, {}, false, {}, "ext4"},
         524'288,
         40,
         524'288,
         "o",
         DRDeviceMediaContentFileSystem},
        {"file holding data",
         {b, stdio, 2, gib, 40, f, 0},
         524'288,
         40,
         524'288,
         "o",
         DRDeviceMediaContentData},
        {"file of two sessions",
         {b, stdio, 2, gib, 150, a, 100 * 2048, sessions({{32, 50, false}, {96, 64, false}}), true,
          "PHOTOS"},
         100,
         160,
         100,
         "ao",
         DRDeviceMediaContentISO9660},
        {"appendable CD-R of audio and data",
         {a, 0x09, 1, 100 << 20, 3000, a, 100 << 20,
          sessions({{0, 2000, true}, {2150, 850, false}})},
         51200,
         3000,
         0,
         "a",
         DRDeviceMediaContentAudio},
        {"closed DVD-R of data",
         {f, 0x11, 1, 4 * gib, 2000, f, 0, sessions({{0, 2000, false}})},
         0,
         2000,
         0,
         "",
         DRDeviceMediaContentData},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const DRMediaInfo media = libburn::describeMedium(row.reading);
        EXPECT_EQ(media.type, LibburnRecorder::mediaTypeForProfile(row.reading.profile));
        EXPECT_EQ(media.blocksFree, row.free);
        EXPECT_EQ(media.blocksUsed, row.used);
        EXPECT_EQ(media.blocksOverwritable, row.overwritableBlocks);
        const std::string flags = std::string(media.blank ? "b" : "") +
                                  (media.appendable ? "a" : "") + (media.overwritable ? "o" : "") +
                                  (media.erasable ? "e" : "") +
                                  (libburn::sessionsUnreadable(media) ? "u" : "");
        EXPECT_EQ(flags, row.flags);
        EXPECT_EQ(media.content,
                  row.content ? std::optional<std::string>(row.content) : std::nullopt);
        EXPECT_EQ(media.sessions.size(), row.reading.sessions.size());
        if (row.reading.iso9660) {
            EXPECT_EQ(media.volumeName, "PHOTOS");
        }
    }
}

// The first blocks of a medium without sessions name what they hold.
TEST(LibburnRecorderProfiles, FirstBlocksNameTheirFileSystem) {
    const auto head = [](std::initializer_list<std::pair<std::size_t, std::string>> marks) {
        std::vector<unsigned char> bytes(68 * 1024);
        for (const auto& [offset, mark] : marks) {
            std::copy(mark.begin(), mark.end(), bytes.begin() + static_cast<long>(offset));
        }
        return bytes;
    };
    const std::string ext = "\x53\xEF";
    const std::pair<std::vector<unsigned char>, std::optional<std::string>> cases[] = {
        {head({{1080, ext}, {1120, std::string("\x40", 1)}}), "ext4"},
        {head({{1080, ext}, {1116, std::string("\x04", 1)}}), "ext3"},
        {head({{1080, ext}}), "ext2"},
        {head({{82, "FAT32   "}, {510, "\x55\xAA"}}), "FAT32"},
        {head({{3, "NTFS    "}}), "NTFS"},
        {head({{65600, "_BHRfS_M"}}), "Btrfs"},
        {head({{32769, "CD001"}, {34817, "BEA01"}, {36865, "NSR02"}}), "UDF"},
        {head({{32769, "CD001"}}), "ISO 9660"},
        {head({{510, "\x55\xAA"}}), "a partition table"},
        {head({}), std::nullopt},
        {std::vector<unsigned char>(100, 0xff), std::nullopt},  // shorter than any mark
    };
    for (const auto& [bytes, name] : cases) {
        EXPECT_EQ(libburn::fileSystemOf(bytes.data(), bytes.size()), name) << name.value_or("-");
    }
}

TEST(LibburnRecorderInterconnect, UdevBusNamesAreShownPlainly) {
    const std::pair<const char*, const char*> rows[] = {
        {"ieee1394", "FireWire"}, {"virtio", "virtio"}, {"", "Unknown"}, {nullptr, "Unknown"}};
    for (const auto& [bus, shown] : rows) {
        EXPECT_EQ(libburn::interconnectForBus(bus), shown) << (bus ? bus : "(none)");
    }
    // No such block device: udev cannot say.
    EXPECT_EQ(libburn::interconnectOfDevice("/nonexistent/sr9"), "Unknown");
}

TEST(LibburnUnopenableDrive, IsShownWithTheReasonAndCannotBeChosenOrBurned) {
    // A drive node of the cdrom group, as Debian makes them, that a user outside it may not open.
    test::TempDir dir;
    const std::string node = dir.file("sr9");
    std::ofstream(node) << "";
    const group* cdrom = ::getgrnam("cdrom");
    ASSERT_NE(cdrom, nullptr) << "Debian's cdrom group";
    ASSERT_EQ(::chown(node.c_str(), 0, cdrom->gr_gid), 0);
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    // Asked as a user of no group (nobody).
    EXPECT_TRUE(test::asOtherUser([&] {
        return libburn::whyUnopenable(node) ==
               "no permission: add yourself to the cdrom group (and log in again)";
    }));
    EXPECT_EQ(libburn::whyUnopenable(node), std::nullopt);  // root may
    EXPECT_EQ(libburn::whyUnopenable(dir.file("none")), std::nullopt);

    auto drive = std::make_shared<libburn::UnopenableDrive>(node,
                                                            "no permission: add yourself "
                                                            "to the cdrom group");
    EXPECT_EQ(drive->displayName(), node);  // udev knows nothing of a plain file
    EXPECT_TRUE(drive->status()[DRDeviceMediaStateKey].isNone());
    EXPECT_FALSE(drive->ejectMedia());
    DeviceRegistry::deviceAppeared(drive);
    auto panel = DRBurnSetupPanel::setupPanel();
    bool listed = false;
    for (const auto& choice : panel->deviceChoices()) {
        if (choice.device == drive) {
            listed = true;
            EXPECT_FALSE(choice.selectable());
            EXPECT_EQ(choice.prompt, "no permission: add yourself to the cdrom group");
        }
    }
    EXPECT_TRUE(listed);
    auto burn = DRBurn::burnForDevice(drive);
    burn->writeLayout(Value(
        std::make_shared<FileTrack>(dir.file("sr9"), DRTrack::Kind::Data, FileTrack::Options{})));
    EXPECT_TRUE(test::runUntil([&] { return DROperation::isFinal(burn->status()); }));
    EXPECT_EQ(DROperation::errorText(burn->status()),
              node + ": no permission: add yourself to the cdrom group");
    DeviceRegistry::deviceDisappeared(drive);
}

TEST_F(LibburnEngineTest, WithoutDrivesOffersOnlyTheRecordersAddedByAddress) {
    const auto before = DeviceRegistry::devices().size();
    engine.start();
    for (const auto& recorder : engine.recorders()) {
        // A machine with optical drives offers them; none may be a pseudo-drive.
        EXPECT_EQ(recorder->address().rfind("stdio:", 0), std::string::npos);
    }
    const auto real = engine.recorders().size();
    EXPECT_EQ(DeviceRegistry::devices().size(), before + real);

    auto recorder = pseudoDrive();
    EXPECT_EQ(engine.addRecorder("stdio:" + discPath), recorder);  // known already
    EXPECT_TRUE(announced(recorder));
    EXPECT_EQ(engine.recorders().size(), real + 1);
    EXPECT_EQ(recorder->displayName(), "stdio:" + discPath);
    EXPECT_EQ(recorder->info()[DRDevicePhysicalInterconnectKey].textValue(), "Pseudo-drive");
    const Value media = recorder->status()[DRDeviceMediaInfoKey];
    EXPECT_TRUE(lookup(media, DRDeviceMediaIsBlankKey).boolValue());
    EXPECT_TRUE(lookup(media, DRDeviceMediaIsOverwritableKey).boolValue());

    engine.stop();
    EXPECT_FALSE(announced(recorder));
    EXPECT_TRUE(engine.recorders().empty());
    EXPECT_EQ(DeviceRegistry::devices().size(), before);
    // Started again, twice, it keeps one watch, and leaves none behind when it stops.
    for (int round = 0; round < 2; ++round) {
        engine.start();
        engine.start();
        engine.stop();
        EXPECT_FALSE(engine.watchingHotPlug());
        EXPECT_TRUE(engine.recorders().empty());
    }
}

TEST_F(LibburnEngineTest, DriveEventsAddRefreshAndWithdrawRecorders) {
    const std::string address = "stdio:" + discPath;
    engine.deviceEvent("add", address);
    auto recorder = engine.recorders().empty() ? nullptr : engine.recorders().front();
    ASSERT_TRUE(recorder);
    EXPECT_TRUE(announced(recorder));

    // A medium change is read again: here the file now holds 12 blocks.
    test::writeFile(discPath, pattern(2048 * 12));
    engine.deviceEvent("change", address);
    EXPECT_EQ(
        lookup(recorder->status()[DRDeviceMediaInfoKey], DRDeviceMediaBlocksUsedKey).uint64Value(),
        12u);
    engine.deviceEvent("bind", address);  // anything else is no concern of the engine
    EXPECT_EQ(engine.recorders().size(), 1u);

    engine.deviceEvent("remove", address);
    EXPECT_FALSE(announced(recorder));
    EXPECT_TRUE(engine.recorders().empty());
    engine.deviceEvent("remove", address);  // gone already
    engine.removeRecorder("stdio:/never/added");
    // Addresses that libburn cannot grab add nothing.
    EXPECT_FALSE(engine.addRecorder("stdio:" + folder.path()));  // a folder is no drive
    EXPECT_FALSE(engine.addRecorder("/nonexistent/sr9"));
    EXPECT_FALSE(engine.addRecorder("stdio:"));  // libburn's null drive
    EXPECT_TRUE(engine.recorders().empty());
}

// A data track lands byte-exact in the pseudo-drive; a simulated burn then leaves it as it was.
TEST_F(LibburnEngineTest, DataTrackLandsByteExactInThePseudoDriveUnlessSimulated) {
    const std::string bytes = pattern(2048 * 300);
    auto recorder = pseudoDrive();
    // A file names no speeds; the key is there all the same.
    ASSERT_TRUE(recorder->status()[DRDeviceBurnSpeedsKey].list());
    EXPECT_TRUE(recorder->status()[DRDeviceBurnSpeedsKey].list()->empty());
    Dictionary last = burn(DRBurn::burnForDevice(recorder), Value(fileTrack("source.img", bytes)));
    ASSERT_EQ(state(last), DRStatusStateDone) << said(last);
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(state(statuses.front()), DRStatusStatePreparing);
    const Dictionary& progress = statuses[statuses.size() - 2];
    EXPECT_EQ(state(progress), DRStatusStateTrackWrite);
    EXPECT_EQ(progress[DRStatusBlocksWrittenKey].uint64Value(), 300u);
    EXPECT_EQ(progress[DRStatusBlocksToWriteKey].uint64Value(), 300u);
    EXPECT_DOUBLE_EQ(progress[DRStatusPercentCompleteKey].doubleValue(), 1.0);
    EXPECT_TRUE(readFile(discPath) == bytes);
    EXPECT_FALSE(busy(recorder));
    EXPECT_GE(
        lookup(recorder->status()[DRDeviceMediaInfoKey], DRDeviceMediaBlocksUsedKey).uint64Value(),
        300u);

    auto simulated = DRBurn::burnForDevice(recorder);
    // Nothing to read back: verifying is no failure.
    simulated->setProperties(Dictionary{{DRBurnTestingKey, true},
                                        {DRBurnRequestedSpeedKey, 1385.0},
                                        {DRBurnVerifyDiscKey, true},
                                        {DRBurnOverwriteDiscKey, true}});
    last = burn(simulated, Value(fileTrack("other.img", std::string(2048 * 50, 'x'))));
    EXPECT_EQ(state(last), DRStatusStateDone) << said(last);
    EXPECT_TRUE(readFile(discPath) == bytes);
}

TEST_F(LibburnEngineTest, VerifyReadsTheTrackBackAndCatchesADamagedWrite) {
    auto recorder = pseudoDrive();
    auto track = fileTrack("source.img", pattern(2048 * 100));
    struct Case {
        const char* what;
        LibburnRecorder::VerifyHook damage;
        bool verifies;
    };
    const Case cases[] = {
        {"one byte changed",
         [](const std::string& address) {
             std::fstream file(address.substr(6), std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(2048 * 77 + 5);
             file.put('\x5a' ^ pattern(2048 * 78)[2048 * 77 + 5]);
         },
         false},
        {"the end cut off",
         [](const std::string& address) {
             std::filesystem::resize_file(address.substr(6), 2048 * 90);
         },
         false},
        // Over what the damaged burns left: the track is found where it was written.
        {"a good write", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        recorder->setBeforeVerifyHook(c.damage);
        auto job = DRBurn::burnForDevice(recorder);
        job->setProperties(Dictionary{{DRBurnOverwriteDiscKey, true}});  // the last case's write
        job->setVerifyDisc(true);
        const Dictionary last = burn(job, Value(track));
        EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const Dictionary& status) {
            return state(status) == DRStatusStateVerifying;
        }));
        if (c.verifies) {
            EXPECT_EQ(state(last), DRStatusStateDone) << said(last);
        } else {
            EXPECT_EQ(state(last), DRStatusStateFailed);
            EXPECT_NE(said(last).find("did not verify"), std::string::npos) << said(last);
        }
        EXPECT_FALSE(busy(recorder));
    }
}

// Burns that cannot be made, or fail on the way: each fails with its reason and leaves the
// recorder idle; on a file, nothing was written.
TEST_F(LibburnEngineTest, FailedBurnsSayWhy) {
    const std::string blocks(2048 * 32, 's');
    auto coded = fileTrack("coded", std::string(2048 * 300, '\0'), DRTrack::Kind::Audio);
    coded->setProperties(Dictionary{{DRTrackISRCKey, "US-ABC-12-34567"}});
    struct Case {
        const char* address;
        std::shared_ptr<DRTrack> track;
        bool verify;
        const char* text;
        bool overwrite = false;
    };
    const Case cases[] = {
        {"stdio:/dev/null", fileTrack("plain", blocks), true, "cannot be verified"},
        {"", fileTrack("audio", std::string(2048 * 300, '\0'), DRTrack::Kind::Audio), false,
         "cannot take this layout"},
        // What a CD cannot carry, before the drive is even opened.
        {"", coded, false, "Track 1's ISRC must be 12 characters"},
        {"", fileTrack("gone", blocks, DRTrack::Kind::Data, {.failAfter = 4 * 2048}), false,
         "the source went away"},
        {"",
         fileTrack("throws", blocks, DRTrack::Kind::Data, {.failAfter = 4 * 2048, .throws = true}),
         false, "the source threw", true},
        // What the failed burns left is data, not written over unasked.
        {"", fileTrack("plain", blocks), false,
         "holds data: it is written over only when the burn asks for it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto recorder = engine.addRecorder(*c.address ? c.address : "stdio:" + discPath);
        ASSERT_TRUE(recorder);
        auto job = DRBurn::burnForDevice(recorder);
        job->setProperties(Dictionary{{DRBurnOverwriteDiscKey, c.overwrite}});
        job->setVerifyDisc(c.verify);
        const std::string before = std::filesystem::exists(discPath) ? readFile(discPath) : "";
        const Dictionary last = burn(job, Value(c.track));
        EXPECT_EQ(state(last), DRStatusStateFailed);
        EXPECT_NE(said(last).find(c.text), std::string::npos) << said(last);
        EXPECT_FALSE(busy(recorder));
        if (c.track->kind() == DRTrack::Kind::Audio) {  // refused before anything is written
            EXPECT_FALSE(std::filesystem::exists(discPath) && std::filesystem::file_size(discPath));
        }
        if (!c.overwrite && !before.empty()) {
            EXPECT_TRUE(readFile(discPath) == before);
        }
    }
}

// A file cannot be erased; ejected, it is empty until it is read again.
TEST_F(LibburnEngineTest, PseudoDriveCannotBeErasedAndEjectEmptiesItUntilItIsReadAgain) {
    auto recorder = pseudoDrive();
    const Dictionary erased = test::eraseAndWait(recorder);
    EXPECT_TRUE(DROperation::hasFailed(erased));
    EXPECT_NE(said(erased).find("cannot be erased"), std::string::npos);
    EXPECT_FALSE(busy(recorder));

    ASSERT_TRUE(recorder->ejectMedia());
    recorder->waitForOperations();
    EXPECT_EQ(recorder->status()[DRDeviceMediaStateKey].textValue(), DRDeviceMediaStateNone);
    EXPECT_FALSE(busy(recorder));
    recorder->refreshStatus();
    EXPECT_EQ(recorder->status()[DRDeviceMediaStateKey].textValue(),
              DRDeviceMediaStateMediaPresent);
}

// What a file holds is shown: sessions as xorriso left them, a file system, data of no kind
// (neither blank nor appendable), or zeros (blank).
TEST_F(LibburnEngineTest, WhatAFileHoldsIsShown) {
    const std::string tree = folder.file("tree");
    std::filesystem::create_directories(tree);
    test::writeFile(tree + "/a.txt", "a");
    for (const char* session : {"one", "two", "three"}) {
        const auto made =
            test::runProgram("xorriso", {"-dev", "stdio:" + discPath, "-volid", "PHOTOS", "-map",
                                         tree, std::string("/") + session, "-commit"});
        ASSERT_EQ(made.status, 0) << made.err;
    }
    std::string ext4(2 << 20, '\0');
    ext4.replace(1080, 2, "\x53\xEF");
    ext4[1120] = 0x40;
    test::writeFile(folder.file("ext4.img"), ext4);
    test::writeFile(folder.file("document"), pattern(3 << 20));
    test::writeFile(folder.file("zeros"), std::string(1 << 20, '\0'));
    struct Case {
        std::string file;
        std::optional<std::string> content;
        std::string flags;  // b blank, a appendable
    };
    const Case cases[] = {{"disc.iso", DRDeviceMediaContentISO9660, "a"},
                          {"ext4.img", DRDeviceMediaContentFileSystem, ""},
                          {"document", DRDeviceMediaContentData, ""},
                          {"zeros", std::nullopt, "ba"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto recorder = engine.addRecorder("stdio:" + folder.file(c.file));
        ASSERT_TRUE(recorder);
        const Value media = recorder->status()[DRDeviceMediaInfoKey];
        EXPECT_EQ(lookup(media, DRDeviceMediaContentKey).textValue(), c.content);
        EXPECT_EQ(std::string(lookup(media, DRDeviceMediaIsBlankKey).boolValue() ? "b" : "") +
                      (lookup(media, DRDeviceMediaIsAppendableKey).boolValue() ? "a" : ""),
                  c.flags);
        if (c.file == "ext4.img") {
            EXPECT_EQ(lookup(media, DRDeviceMediaFileSystemKey).textValue(), "ext4");
        }
    }
    const Value media = engine.addRecorder("stdio:" + discPath)->status()[DRDeviceMediaInfoKey];
    EXPECT_EQ(lookup(media, DRDeviceMediaVolumeNameKey).textValue(), "PHOTOS");
    const List* sessions = lookup(media, DRDeviceMediaSessionsKey).list();
    ASSERT_TRUE(sessions);
    ASSERT_EQ(sessions->size(), 3u);
    for (std::uint64_t i = 0; i < 3; ++i) {  // where xorriso puts them, one track each
        const Value& session = (*sessions)[i];
        EXPECT_EQ(lookup(session, DRDeviceSessionNumberKey).uint64Value(), i + 1);
        EXPECT_EQ(lookup(session, DRDeviceSessionStartKey).uint64Value(), 32 * (i + 1));
        const List* tracks = lookup(session, DRDeviceSessionTracksKey).list();
        ASSERT_TRUE(tracks && tracks->size() == 1);
        EXPECT_EQ(lookup((*tracks)[0], DRDeviceTrackTypeKey).textValue(), DRDeviceTrackTypeData);
    }
}

// A second burn while one is under way is turned away; the first, aborted as it writes, fails as
// cancelled.
TEST_F(LibburnEngineTest, ABurnUnderWayTurnsASecondAwayAndIsCancelled) {
    auto recorder = pseudoDrive();
    std::promise<void> gate;
    auto first = DRBurn::burnForDevice(recorder);
    bool writing = false;
    std::optional<Dictionary> last;
    first->setStatusHandler([&](const Dictionary& status) {
        writing = writing || state(status) == DRStatusStateTrackWrite;
        if (DROperation::isFinal(status)) {
            last = status;
        }
    });
    first->writeLayout(Value(fileTrack("gated", pattern(2048 * 64), DRTrack::Kind::Data,
                                       {.gate = gate.get_future().share()})));
    EXPECT_TRUE(busy(recorder));
    const Dictionary second = burn(DRBurn::burnForDevice(recorder), Value(fileTrack("b", "b")));
    EXPECT_EQ(state(second), DRStatusStateFailed);
    EXPECT_NE(said(second).find("busy"), std::string::npos);
    // The write loop calls libburn off while the track's reader still holds its bytes back: the
    // reader alone would not stop a recorder that writes what libburn has taken already.
    std::atomic<bool> calledOff = false;
    libburn::watchBurns([&](const libburn::GivenBurn& given) { calledOff = given.cancelled; });
    ASSERT_TRUE(test::runUntil([&] { return writing; }));
    first->abort();
    EXPECT_TRUE(test::runUntil([&] { return calledOff.load(); }));
    gate.set_value();
    ASSERT_TRUE(test::runUntil([&] { return last.has_value(); }));
    EXPECT_EQ(DROperation::errorText(*last), DROperation::kCancelledText);
    EXPECT_FALSE(busy(recorder));
}

// What a cue sheet promises reaches libburn: each track's mode and control bits, its gap (the
// silence libburn writes and the stream's own blocks before index 1), its ISRC, the disc's
// catalog number and CD-Text. libburn takes the disc model from any drive; a file cannot hold
// audio, so the burn then fails, with nothing written.
TEST_F(LibburnEngineTest, ACueSheetsGapsCodesFlagsAndTextsReachLibburn) {
    using libburn::GivenTrack;
    constexpr int audio = BURN_AUDIO, flagged = audio | BURN_PREEMPHASIS | BURN_COPY | BURN_4CH;
    struct Case {
        const char* what;
        std::string sheet;
        std::size_t binSectors;
        std::vector<GivenTrack> tracks;
        std::string catalog;
        std::vector<std::string> texts;   // in the CD-Text packs
        std::vector<std::string> atOnce;  // the tracks a CD written track at once warns of
    };
    const Case cases[] = {
        {"audio: hidden track one, a gap in the file, silence, codes and flags",
         "CATALOG 0123456789012\nTITLE \"Album\"\nFILE \"disc.bin\" BINARY\n"
         "  TRACK 01 AUDIO\n    TITLE \"Hidden\"\n    FLAGS PRE DCP 4CH\n"
         "    ISRC usabc1234567\n    INDEX 00 00:00:00\n    INDEX 01 00:06:00\n"
         "  TRACK 02 AUDIO\n    ISRC GBXYZ9900001\n    INDEX 00 00:10:00\n"
         "    INDEX 01 00:12:00\n  TRACK 03 AUDIO\n    PREGAP 00:01:00\n"
         "    INDEX 01 00:15:00\n",
         1500,
         {{flagged, 750, 150, {0, 450}, "USABC1234567"},
          {audio, 375, 0, {0, 150}, "GBXYZ9900001"},
          {audio, 375, 75, {}, ""}},
         "0123456789012",
         {"Album", "Hidden"},
         {}},
        {"mixed: a data track, then audio with its gap in the file",
         "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    FLAGS DCP\n    INDEX 00 00:04:00\n    INDEX 01 00:06:00\n"
         "  TRACK 03 AUDIO\n    INDEX 01 00:10:00\n",
         1000,
         {{BURN_MODE1, 300, 150, {}, ""},
          {audio | BURN_COPY, 450, 0, {0, 150}, ""},
          {audio, 250, 0, {}, ""}},
         "",
         {},
         {"Track 2 is written track at once: its gap before INDEX 01 (00:02:00) is burned as the "
          "start of the track, after the recorder's gap of 2 seconds.",
          "Track 2 is written track at once: its gap of silence is the recorder's 2 seconds, not "
          "00:00:00.",
          "Track 3 is written track at once: its gap of silence is the recorder's 2 seconds, not "
          "00:00:00."}},
    };
    auto recorder = pseudoDrive();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::writeFile(folder.file("disc.bin"), pattern(c.binSectors * 2352));
        test::writeFile(folder.file("disc.cue"), c.sheet);
        std::string error;
        const auto cue = DRBurn::layoutForCueSheet(folder.file("disc.cue"), error);
        ASSERT_TRUE(cue) << error;
        auto job = DRBurn::burnForDevice(recorder);
        Dictionary properties = job->properties();
        if (cue->cdText) {
            properties.set(DRCDTextKey, Value(cue->cdText));
        }
        if (cue->mediaCatalogNumber) {
            properties.set(DRMediaCatalogNumberKey, *cue->mediaCatalogNumber);
        }
        job->setProperties(properties);
        std::optional<libburn::GivenBurn> given;
        libburn::watchBurns([&](const libburn::GivenBurn& seen) { given = seen; });
        const Dictionary last = burn(job, cue->layout);
        EXPECT_NE(said(last).find("cannot take this layout"), std::string::npos) << said(last);
        EXPECT_FALSE(std::filesystem::exists(discPath) && std::filesystem::file_size(discPath));

        ASSERT_TRUE(given);
        ASSERT_EQ(given->sessions.size(), 1u);
        const auto& tracks = given->sessions.front();
        ASSERT_EQ(tracks.size(), c.tracks.size());
        for (std::size_t i = 0; i < tracks.size(); ++i) {
            SCOPED_TRACE("track " + std::to_string(i + 1));
            EXPECT_EQ(tracks[i].mode, c.tracks[i].mode);
            EXPECT_EQ(tracks[i].sectors, c.tracks[i].sectors);
            EXPECT_EQ(tracks[i].preGap, c.tracks[i].preGap);
            EXPECT_EQ(tracks[i].indices, c.tracks[i].indices);
            EXPECT_EQ(tracks[i].isrc, c.tracks[i].isrc);
        }
        EXPECT_EQ(given->catalog, c.catalog);
        EXPECT_EQ(given->cdTextPacks.size() % 18, 0u);
        EXPECT_EQ(given->cdTextPacks.empty(), c.texts.empty());
        const std::string packs(given->cdTextPacks.begin(), given->cdTextPacks.end());
        for (const std::string& text : c.texts) {
            EXPECT_NE(packs.find(text), std::string::npos) << text;
        }
        EXPECT_FALSE(given->simulate);
        EXPECT_FALSE(given->cancelled);

        // On a CD, data and audio together are written track at once, which takes the streams
        // whole, says how the gaps come out, and refuses CD-Text.
        const auto layoutTracks = DRBurn::tracksOfLayout(cue->layout);
        const auto cd = media::cdLayout(layoutTracks, properties, error);
        ASSERT_TRUE(cd) << error;
        const libburn::TrackAtOnce atOnce = libburn::trackAtOnce(*cd, false);
        EXPECT_EQ(atOnce.refusal, "");
        if (!c.atOnce.empty()) {
            EXPECT_EQ(atOnce.warnings, c.atOnce);
        }
        EXPECT_NE(libburn::trackAtOnce(*cd, true).refusal.find("cannot carry CD-Text"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace kilnware::platform
