#include <kilnware/platform/discrecording/Engine.h>
#include "tests/platform/engines/ImageRecorderSupport.h"

namespace kilnware::platform {
namespace {

using test::FileTrack;

class ImageRecorderStatus : public test::ImageRecorderFixture {
protected:
    Value dataTrack(std::size_t blocks) {
        const std::string path = sources.file("data" + std::to_string(blocks));
        test::writeFile(path, std::string(blocks * 2048, 'd'));
        return Value(std::make_shared<FileTrack>(path, DRTrack::Kind::Data, FileTrack::Options{}));
    }
};

TEST_F(ImageRecorderStatus, BlankWrittenEjectedAndBlankAgain) {
    Dictionary blank{{DRDeviceMediaTypeKey, DRDeviceMediaTypeCDR},
                     {DRDeviceMediaClassKey, DRDeviceMediaClassCD},
                     {DRDeviceMediaBlocksFreeKey, std::uint64_t{359'848}},
                     {DRDeviceMediaBlocksUsedKey, std::uint64_t{0}},
                     {DRDeviceMediaBlocksOverwritableKey, std::uint64_t{359'848}},
                     {DRDeviceMediaFreeSpaceKey, std::int64_t{359'848}},
                     {DRDeviceMediaUsedSpaceKey, std::int64_t{0}},
                     {DRDeviceMediaOverwritableSpaceKey, std::int64_t{359'848}},
                     {DRDeviceMediaIsBlankKey, true},
                     {DRDeviceMediaIsAppendableKey, true},
                     {DRDeviceMediaIsOverwritableKey, false},
                     {DRDeviceMediaIsErasableKey, false}};
    EXPECT_EQ(recorder->status()[DRDeviceMediaStateKey].textValue(),
              DRDeviceMediaStateMediaPresent);
    EXPECT_EQ(media(), Value(blank));
    EXPECT_FALSE(recorder->status()[DRDeviceIsBusyKey].boolValue());

    ASSERT_EQ(state(burn(dataTrack(1000), Dictionary{{DRBurnRequestedSpeedKey, 4096.0}})),
              DRStatusStateDone);
    // Busy while it burned, then written, each told by a notice.
    ASSERT_GE(notices.size(), 2u);
    EXPECT_TRUE(notices.front()[DRDeviceIsBusyKey].boolValue());
    EXPECT_FALSE(notices.back()[DRDeviceIsBusyKey].boolValue());
    const Value& written = notices.back()[DRDeviceMediaInfoKey];
    EXPECT_EQ(lookup(written, DRDeviceMediaBlocksUsedKey).uint64Value(), 1000u);
    EXPECT_EQ(lookup(written, DRDeviceMediaBlocksFreeKey).uint64Value(), 358'848u);
    EXPECT_EQ(lookup(written, DRDeviceMediaUsedSpaceKey).int64Value(), 1000);
    EXPECT_EQ(lookup(written, DRDeviceMediaBlocksOverwritableKey).uint64Value(), 0u);
    EXPECT_FALSE(lookup(written, DRDeviceMediaIsBlankKey).boolValue());
    EXPECT_FALSE(lookup(written, DRDeviceMediaIsAppendableKey).boolValue());

    // A written CD-R takes nothing more.
    EXPECT_EQ(errorText(burn(dataTrack(1))),
              "The disc in the image recorder is written: eject it for a blank one.");

    // Eject: no medium, then a fresh blank.
    notices.clear();
    ASSERT_TRUE(recorder->ejectMedia());
    ASSERT_TRUE(test::runUntil([&] { return notices.size() >= 2; }));
    EXPECT_EQ(notices[0][DRDeviceMediaStateKey].textValue(), DRDeviceMediaStateNone);
    EXPECT_FALSE(notices[0].contains(DRDeviceMediaInfoKey));
    EXPECT_EQ(notices[1][DRDeviceMediaInfoKey], Value(blank));
    EXPECT_EQ(media(), Value(blank));
}

TEST_F(ImageRecorderStatus, EraseEmptiesACDRWAndRefusesACDR) {
    EXPECT_EQ(errorText(test::eraseAndWait(recorder)),
              "A CD-R cannot be erased: only a CD-RW, DVD-RW or BD-RE can.");

    ASSERT_TRUE(recorder->setMedium(ImageRecorder::Medium::CDRW));
    EXPECT_TRUE(lookup(media(), DRDeviceMediaIsErasableKey).boolValue());
    ASSERT_EQ(state(burn(dataTrack(10))), DRStatusStateDone);
    EXPECT_EQ(lookup(media(), DRDeviceMediaBlocksUsedKey).uint64Value(), 10u);
    EXPECT_EQ(lookup(media(), DRDeviceMediaBlocksOverwritableKey).uint64Value(), 359'848u);

    notices.clear();
    const Dictionary last = test::eraseAndWait(recorder, DREraseTypeComplete);
    EXPECT_EQ(state(last), DRStatusStateDone);
    EXPECT_TRUE(lookup(media(), DRDeviceMediaIsBlankKey).boolValue());
    EXPECT_EQ(lookup(media(), DRDeviceMediaBlocksFreeKey).uint64Value(), 359'848u);
    ASSERT_GE(notices.size(), 2u);
    EXPECT_TRUE(notices.front()[DRDeviceIsBusyKey].boolValue());
    EXPECT_TRUE(lookup(notices.back()[DRDeviceMediaInfoKey], DRDeviceMediaIsBlankKey).boolValue());

    // The disc image files stay: erasing the medium is not deleting the images.
    EXPECT_EQ(test::filesIn(out.path()), std::vector<std::string>{"Kilnware Disc.iso"});
}

TEST(ImageRecorderEngineTest, InstallAnnouncesTheRecorderAndStopWithdrawsIt) {
    test::TempDir out;
    auto engine = std::make_shared<ImageRecorderEngine>(out.path(), ImageRecorder::Medium::CDRW);
    Engine::install(engine);
    auto devices = DRDevice::devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0], engine->recorder());
    EXPECT_EQ(engine->recorder()->medium(), ImageRecorder::Medium::CDRW);
    Engine::stopAll();
    EXPECT_TRUE(DRDevice::devices().empty());
    RunLoop::current()->runUntilIdle();
}

}  // namespace
}  // namespace kilnware::platform
