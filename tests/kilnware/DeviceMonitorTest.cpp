#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRKeys.h>
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

using namespace platform;
using namespace test;

constexpr const char* kNoDisc = "No Disc. Waiting for a disc to be inserted...";
constexpr const char* kDetecting = "Detecting Disk. Waiting for the drive...";
constexpr const char* kSending = "Sending UpDevice notification";

using Texts = std::vector<VXDevice::Text>;

// The snapshot's texts: name, connection, medium type, blocks free, used and total, and the
// total, used and free time.
Texts texts(const VXDevice& m) {
    return {m.m_deviceName(),     m.m_connection(),    m.m_MediaType(),
            m.m_BlocksFree(),     m.m_BlocksUsed(),    m.m_BlocksTotal(),
            m.m_MediaTotalTime(), m.m_MediaUsedTime(), m.m_MediaFreeTime()};
}

// The medium's fields as a recorder without a readable medium, or no recorder, leaves them.
void expectClearedMedium(const VXDevice& monitor) {
    const Texts all = texts(monitor);
    EXPECT_EQ(Texts(all.begin() + 3, all.end()), (Texts{"0", "0", "0", "00:00", "00:00", "00:00"}));
    EXPECT_FALSE(monitor.m_MediaIsOverWritable());
    EXPECT_FALSE(monitor.m_MediaIsEarsable());
}

void expectDefaults(const VXDevice& monitor) {
    EXPECT_EQ(texts(monitor),
              (Texts{"NO Device", "None", "None", "0", "0", "0", "00:00", "00:00", "00:00"}));
    EXPECT_FALSE(monitor.m_MediaIsOverWritable() || monitor.m_MediaIsEarsable() ||
                 monitor.m_deviceIsBusy() || monitor.m_DeviceCanEject());
}

// What a recorder without a readable medium shows.
void expectNoMedium(const VXDevice& monitor, const char* mediaType) {
    EXPECT_EQ(monitor.m_MediaType(), mediaType);
    expectClearedMedium(monitor);
    EXPECT_TRUE(monitor.m_DeviceCanEject());
}

void runIdle() {
    RunLoop::current()->runUntilIdle();
}

class DeviceMonitor : public ::testing::Test {
protected:
    LogCapture log;
    NoticeLog notices{{UpDateDeviceInfo}};
    std::shared_ptr<VXDevice> monitor = std::make_shared<VXDevice>();

    std::size_t posted() const { return notices.count(UpDateDeviceInfo); }
};

TEST(SizeText, EveryRowOfTheTableAndCountsPast64BitBytes) {
    // From 1 << 53 blocks on the byte count no longer fits 64 bits; the text still tells the size.
    const std::vector<std::pair<std::uint64_t, std::string>> rows = {
        {0, "0.00 Byte"},
        {1, "2.05 KB"},
        {488, "999.42 KB"},
        {489, "1.00 MB"},
        {125'354, "256.73 MB"},
        {139'646, "285.99 MB"},
        {488'281, "1000.00 MB"},
        {488'282, "1.00 GB"},
        {2'295'104, "4.70 GB"},
        {488'281'249, "1000.00 GB"},
        {488'281'250, "1.00 TB"},
        {std::uint64_t{1} << 53, "18446744.07 TB"},
        {UINT64_MAX, "37778931862.96 TB"}};
    for (const auto& [blocks, text] : rows) {
        EXPECT_EQ(VXDevice::getSizeOfDisc(blocks), text) << blocks << " blocks";
    }
}

TEST_F(DeviceMonitor, WithoutARefreshOrARecorderThereIsNothingToEject) {
    expectDefaults(*monitor);
    monitor->awakeFromNib();
    // A listed recorder is not asked before a refresh has found it...
    auto recorder = ScriptableRecorder::create("Unannounced");
    monitor->deviceList.push_back(recorder);
    EXPECT_FALSE(monitor->ejectMedia());
    EXPECT_EQ(recorder->ejectRequests(), 0u);
    // ... and without a recorder there is none to ask, whatever the host set.
    monitor->deviceList.clear();
    monitor->setM_DeviceCanEject(true);
    EXPECT_FALSE(monitor->ejectMedia());

    // Notices without a device are ignored.
    for (const auto& object : {std::shared_ptr<Object>(), std::make_shared<Object>()}) {
        monitor->deviceAppeared(Notification{DRDeviceAppearedNotification, object, {}});
        monitor->deviceDisappeared(Notification{DRDeviceDisappearedNotification, object, {}});
    }
    EXPECT_TRUE(monitor->deviceList.empty());
    EXPECT_EQ(posted(), 0u);
    EXPECT_TRUE(log.lines().empty());
    // The disappearance of a recorder never listed still refreshes the snapshot.
    monitor->setM_MediaIsEarsable(true);
    monitor->deviceDisappeared(Notification{DRDeviceDisappearedNotification, recorder, {}});
    EXPECT_EQ(posted(), 1u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{kSending});
    expectDefaults(*monitor);
}

TEST_F(DeviceMonitor, EngineTextsAndCountsAreReadLeniently) {
    ScopedRecorder recorder("Terse Drive");
    // The media type keeps the piece after the first marker.
    const std::vector<std::pair<std::string, std::string>> types = {
        {"DRDeviceMediaTypeDVDPlusRW", "DVDPlusRW"},
        {"Blu-ray", "Blu-ray"},
        {"DRDeviceMediaType", ""},
        {"xDRDeviceMediaTypeBDRDRDeviceMediaTypeRE", "BDR"},
    };
    for (const auto& [type, shown] : types) {
        ScriptedMedium medium;
        medium.type = type;
        recorder->setMedium(medium);
        runIdle();
        EXPECT_EQ(monitor->m_MediaType(), shown) << type;
        EXPECT_EQ(log.lines().at(log.lines().size() - 2), shown);
    }

    // A recorder that reports nothing at all is still counted and named.
    recorder->setInfo(Dictionary{});
    recorder->setStatus(Dictionary{});
    runIdle();
    EXPECT_EQ(monitor->m_deviceName(), "Terse Drive");
    EXPECT_EQ(monitor->m_connection(), std::nullopt);
    EXPECT_FALSE(monitor->m_deviceIsBusy());
    expectNoMedium(*monitor, kDetecting);

    log.clear();
    recorder->setStatus(Dictionary{{DRDeviceMediaStateKey, DRDeviceMediaStateMediaPresent}});
    runIdle();
    EXPECT_EQ(monitor->m_MediaType(), std::nullopt);
    EXPECT_EQ(monitor->m_BlocksFree(), "0.00 Byte");
    EXPECT_EQ(monitor->m_MediaFreeTime(), "0:00");
    EXPECT_FALSE(monitor->m_MediaIsEarsable());
    EXPECT_TRUE(monitor->m_DeviceCanEject());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"(null)", kSending}));

    // Negative counts mean nothing; they show as none rather than as their unsigned bits.
    recorder->setStatus(Dictionary{
        {DRDeviceMediaStateKey, DRDeviceMediaStateMediaPresent},
        {DRDeviceMediaInfoKey,
         Dictionary{{DRDeviceMediaBlocksFreeKey, -5}, {DRDeviceMediaFreeSpaceKey, -1}}}});
    runIdle();
    EXPECT_EQ(monitor->m_BlocksFree(), "0.00 Byte");
    EXPECT_EQ(monitor->m_MediaFreeTime(), "0:00");
}

TEST_F(DeviceMonitor, TwoRecordersShowTheLaterAndEjectTheEarlier) {
    ScopedRecorder first("Recorder A");
    ScopedRecorder second("Recorder B", ScriptedMedium::none());
    monitor = std::make_shared<VXDevice>();  // hears of both, in order, as they were already there
    runIdle();
    ASSERT_EQ(monitor->deviceList.size(), 2u);
    // One refresh for each recorder's own first status, none for its appearance.
    EXPECT_EQ(posted(), 2u);
    EXPECT_EQ(notices.entries().back().object, monitor);
    EXPECT_FALSE(notices.entries().back().hadUserInfo);
    log.clear();
    monitor->updateDeviceInfo();
    EXPECT_EQ(monitor->m_deviceName(), "Recorder B");
    EXPECT_EQ(monitor->m_MediaType(), kNoDisc);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"CDR", kSending}));
    // Each recorder's own snapshot, read without a line; the last is what the properties show.
    const auto all = monitor->snapshots();
    EXPECT_EQ(log.lines().size(), 2u);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].deviceName, "Recorder A");
    EXPECT_EQ(all[0].mediaType, "CDR");
    EXPECT_TRUE(all[0].mediaPresent);
    EXPECT_GT(all[0].blocksFree, 0u);
    EXPECT_EQ(all[0].blocksFreeText, VXDevice::getSizeOfDisc(all[0].blocksFree));
    EXPECT_EQ(all[0].mediaFreeTime, "79:57");
    EXPECT_EQ((Texts{all[1].deviceName, all[1].connection, all[1].mediaType, all[1].blocksFreeText,
                     all[1].blocksUsedText, all[1].blocksTotalText, all[1].mediaTotalTime,
                     all[1].mediaUsedTime, all[1].mediaFreeTime}),
              texts(*monitor));
    EXPECT_TRUE(all[1].deviceCanEject);
    EXPECT_FALSE(all[1].mediaPresent);
    EXPECT_TRUE(monitor->ejectMedia());
    EXPECT_EQ(first->ejectRequests(), 1u);
    EXPECT_EQ(second->ejectRequests(), 0u);
}

TEST_F(DeviceMonitor, DestroyedMonitorReceivesNothingMoreFromTheEngine) {
    monitor.reset();
    ScopedRecorder recorder("Scripted CD-R");
    // Gone before its replayed appearance arrives.
    std::make_shared<VXDevice>().reset();
    // Gone after listing the recorder, with the replayed status notice still on its way.
    auto doomed = std::make_shared<VXDevice>();
    ASSERT_TRUE(runUntil([&] { return doomed->deviceList.size() == 1; }));
    doomed.reset();
    recorder->setMedium(ScriptedMedium::none());
    runIdle();
    EXPECT_EQ(posted(), 0u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DeviceMonitor, ReaderOnAnotherThreadSeesOnlyWholeTexts) {
    auto recorder = ScriptableRecorder::create("Busy Bee");
    monitor->deviceList.push_back(recorder);
    const std::vector<ScriptedMedium> media = {
        ScriptedMedium::blankCDR(), ScriptedMedium::none(), ScriptedMedium::inTransition(),
        ScriptedMedium::blankDVDR(), ScriptedMedium::blankCDRW()};
    const std::set<std::string> whole = {"None",      "NO Device", "USB",   "Busy Bee", "CDR",
                                         "DVDR",      "CDRW",      kNoDisc, kDetecting, "0",
                                         "0.00 Byte", "00:00",     "0:00",  "79:57",    "736.97 MB",
                                         "4.70 GB",   "510:01"};

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            for (const auto& text : texts(*monitor)) {
                if (!text || !whole.contains(*text)) {
                    ++torn;
                }
            }
            (void)monitor->m_deviceIsBusy();
            (void)monitor->m_DeviceCanEject();
            (void)monitor->m_MediaIsOverWritable();
            (void)monitor->m_MediaIsEarsable();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        recorder->setMedium(media[static_cast<std::size_t>(i) % media.size()]);
        monitor->updateDeviceInfo();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(posted(), 2000u);
}

// A busy recorder that appears empty, gets a blank CD-RW, reads it, is ejected, is announced again
// and goes away.
TEST_F(DeviceMonitor, RecorderLifeDrivesTheSnapshotThroughEveryStep) {
    ScopedRecorder recorder("Scripted CD-R", ScriptedMedium::none());
    recorder->setBusy(true);
    struct TypeWatch {
        std::vector<VXDevice::Text> types;
        explicit TypeWatch(VXDevice* monitor) {
            NotificationCenter::defaultCenter().addObserver(
                this, std::string(UpDateDeviceInfo), nullptr,
                [this, monitor](const Notification&) { types.push_back(monitor->m_MediaType()); });
        }
        ~TypeWatch() { NotificationCenter::defaultCenter().removeObserver(this); }
    } watch(monitor.get());

    runIdle();
    EXPECT_EQ(monitor->m_connection(), "USB");
    EXPECT_TRUE(monitor->m_deviceIsBusy());
    expectNoMedium(*monitor, kNoDisc);
    recorder->setMedium(ScriptedMedium::blankCDRW());
    runIdle();
    EXPECT_EQ(texts(*monitor), (Texts{"Scripted CD-R", "USB", "CDRW", "736.97 MB", "0.00 Byte",
                                      "736.97 MB", "79:57", "0:00", "79:57"}));
    EXPECT_TRUE(monitor->m_MediaIsOverWritable());
    EXPECT_TRUE(monitor->m_MediaIsEarsable());
    recorder->setMedium(ScriptedMedium::inTransition());
    runIdle();
    expectNoMedium(*monitor, kDetecting);
    EXPECT_TRUE(monitor->ejectMedia());
    recorder->setEjectAnswer(false);
    EXPECT_FALSE(monitor->ejectMedia());
    EXPECT_EQ(recorder->ejectRequests(), 2u);
    recorder->setMedium(ScriptedMedium::none());
    runIdle();
    recorder->appear();  // listed twice, its status replayed to the new listing; leaves at once
    runIdle();
    ASSERT_EQ(monitor->deviceList.size(), 2u);
    recorder->disappear();
    runIdle();
    EXPECT_TRUE(monitor->deviceList.empty());
    recorder->setMedium(ScriptedMedium::blankCDR());  // no longer reaches the monitor
    runIdle();

    EXPECT_EQ(watch.types, (Texts{kNoDisc, "CDRW", kDetecting, kNoDisc, kNoDisc, "None"}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{kSending, "CDRW", kSending, kSending, kSending,
                                                     kSending, kSending}));
    expectDefaults(*monitor);
    EXPECT_FALSE(monitor->ejectMedia());
    EXPECT_EQ(recorder->ejectRequests(), 2u);
}

}  // namespace
}  // namespace kilnware
