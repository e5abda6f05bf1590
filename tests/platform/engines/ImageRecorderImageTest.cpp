#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "tests/platform/engines/ImageRecorderSupport.h"

// fsync as this test program has it: failing with EIO while `fsyncFails` is set, for a write error
// that only the flush reports. A definition in the program comes before the C library's.
static std::atomic<bool> fsyncFails{false};
extern "C" int fsync(int fd) {
    if (fsyncFails) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace kilnware::platform {
namespace {

using test::filesIn;
using test::FileTrack;
using test::readFile;

using test::pattern;

class ImageRecorderImage : public test::ImageRecorderFixture {
protected:
    test::TempDir sources;
    std::string source = sources.file("source.img");

    std::shared_ptr<FileTrack> track(DRTrack::Kind kind, FileTrack::Options options = {}) {
        return std::make_shared<FileTrack>(source, kind, std::move(options));
    }
    void expectNothingWritten(const Dictionary& last) {
        EXPECT_EQ(state(last), DRStatusStateFailed);
        EXPECT_TRUE(filesIn(out.path()).empty());
        EXPECT_TRUE(lookup(media(), DRDeviceMediaIsBlankKey).boolValue());
        EXPECT_FALSE(recorder->status()[DRDeviceIsBusyKey].boolValue());
    }
};

TEST_F(ImageRecorderImage, TracksComeOutByteExactUnderTheirNames) {
    const std::string data = pattern(2048 * 700);
    test::writeFile(source, data);
    auto last = burn(Value(track(DRTrack::Kind::Data, {.volumeName = "..Trip/2024\x01"})),
                     Dictionary{{DRBurnVerifyDiscKey, true}});
    ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
    EXPECT_EQ(lookup(media(), DRDeviceMediaBlocksUsedKey).uint64Value(), 700u);
    ejectAndWait();
    // A disc image of no whole number of blocks is copied as it stands, verified or not.
    const std::string image = pattern(2048 * 50 + 123);
    test::writeFile(source, image);
    for (bool verify : {false, true}) {
        last = burn(Value(track(DRTrack::Kind::DiscImage, {.exposeSourceFile = true})),
                    Dictionary{{DRBurnVerifyDiscKey, verify}});
        ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
        ejectAndWait();
    }
    EXPECT_EQ(
        filesIn(out.path()),
        (std::vector<std::string>{"Kilnware Disc 2.iso", "Kilnware Disc.iso", "Trip_2024_.iso"}));
    EXPECT_TRUE(readFile(out.file("Trip_2024_.iso")) == data);
    EXPECT_TRUE(readFile(out.file("Kilnware Disc.iso")) == image);
    EXPECT_TRUE(readFile(out.file("Kilnware Disc 2.iso")) == image);
}

TEST_F(ImageRecorderImage, VerifyCatchesAnImageChangedOnDisk) {
    test::writeFile(source, pattern(2048 * 20));
    std::string seen;
    recorder->setBeforeVerifyHook([&](const std::string& path) {
        seen = path;
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "X", 1, 2048 * 7 + 5), 1);
        ::close(fd);
    });
    auto last = burn(Value(track(DRTrack::Kind::Data)), Dictionary{{DRBurnVerifyDiscKey, true}});
    EXPECT_EQ(errorText(last),
              "The disc image did not verify: Kilnware Disc.iso reads back differently from what "
              "was written.");
    EXPECT_FALSE(seen.empty());
    expectNothingWritten(last);

    // Without verification the hook is not even called.
    seen.clear();
    last = burn(Value(track(DRTrack::Kind::Data)));
    EXPECT_EQ(state(last), DRStatusStateDone);
    EXPECT_TRUE(seen.empty());
}

// Layouts that do not fit the disc or the recorder, a folder that is gone or not set, and a disc
// image replaced by a pipe, which must fail and never stall the burn.
TEST_F(ImageRecorderImage, BurnsRefusedBeforeAnythingIsWritten) {
    test::writeFile(source, pattern(2048));
    const std::string iso = sources.file("disc.iso");
    ASSERT_EQ(test::runProgram("genisoimage", {"-quiet", "-o", iso, sources.path()}).status, 0);
    auto piped = DRBurn::layoutForImageFile(iso);
    ASSERT_TRUE(piped);
    std::filesystem::remove(iso);
    ASSERT_EQ(::mkfifo(iso.c_str(), 0644), 0);
    test::writeCDWav(sources.file("a.wav"), 588);
    auto audio = DRTrack::trackForAudioFile(sources.file("a.wav"));
    auto gapped = DRTrack::trackForAudioFile(sources.file("a.wav"));
    gapped->setProperties(Dictionary{{DRPreGapLengthKey, 359'700.0}});
    struct Case {
        Value layout;
        ImageRecorder::Medium medium;
        std::string text;
        std::optional<std::string> folder = std::nullopt;  // instead of the fixture's
    };
    const Case cases[] = {
        {Value(track(DRTrack::Kind::Data, {.announcedBlocks = 400'000})),
         ImageRecorder::Medium::CDR,
         "Kilnware Disc does not fit: 400000 blocks, the disc holds 359848."},
        // Audio counts its 4-second minimum and its pre-gaps against the disc (track 1's past the
        // pause ahead of the disc's first block).
        {List{Value(gapped)}, ImageRecorder::Medium::CDR,
         "Kilnware Disc does not fit: 359850 blocks, the disc holds 359848."},
        {List{Value(track(DRTrack::Kind::Data)), Value(track(DRTrack::Kind::Data))},
         ImageRecorder::Medium::DVDR,
         "A disc of several tracks is a CD, and the image recorder holds a DVD."},
        {List{Value(audio)}, ImageRecorder::Medium::DVDR,
         "Audio tracks need a CD, and the image recorder holds a DVD."},
        {Value(track(DRTrack::Kind::Data)), ImageRecorder::Medium::CDR,
         "Could not write into " + out.file("gone") + ": No such file or directory",
         out.file("gone")},
        {Value(track(DRTrack::Kind::Data)), ImageRecorder::Medium::CDR,
         "No folder is set for the image recorder's disc images.", ""},
        {Value(piped), ImageRecorder::Medium::CDR, iso + " is no longer a file."},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(recorder->setMedium(c.medium));
        recorder->setOutputFolder(c.folder.value_or(out.path()));
        const auto last = burn(c.layout);
        EXPECT_EQ(errorText(last), c.text);
        expectNothingWritten(last);
    }
}

// A file-size limit stands in for a full disk: writes past it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int);
};

TEST_F(ImageRecorderImage, DiskFullFailsWithTheSystemTextAndLeavesNothing) {
    test::writeFile(source, pattern(2048 * 2000));           // 4 MB
    test::writeCDWav(sources.file("long.wav"), 44100 * 20);  // 3.5 MB
    auto audio = DRTrack::trackForAudioFile(sources.file("long.wav"));
    ASSERT_TRUE(audio);
    const std::pair<Value, std::string> cases[] = {
        {Value(track(DRTrack::Kind::Data)), "Kilnware Disc.iso"},
        {Value(track(DRTrack::Kind::DiscImage, {.exposeSourceFile = true})), "Kilnware Disc.iso"},
        {Value(List{Value(audio)}), "Kilnware Disc.bin"},
    };
    {
        FileSizeLimit limit(1 << 20);
        for (const auto& [layout, name] : cases) {
            const auto last = burn(layout);
            EXPECT_EQ(errorText(last), "Could not write " + name + ": File too large");
            expectNothingWritten(last);
        }
    }
    // A write error that only the flush reports.
    fsyncFails = true;
    auto last = burn(Value(track(DRTrack::Kind::Data)));
    fsyncFails = false;
    EXPECT_EQ(errorText(last), "Could not write Kilnware Disc.iso: Input/output error");
    expectNothingWritten(last);
    EXPECT_EQ(state(burn(List{Value(audio)})), DRStatusStateDone);
}

// A work image is linked as the output, never a file that took its place: a link to someone's
// image, or another name of it, is copied instead, and the victim keeps its one name.
TEST_F(ImageRecorderImage, AWorkImageSwappedForAnotherFileIsNeverLinkedAsTheOutput) {
    const std::string work = sources.file("work.iso");
    const std::string victim = sources.file("victim.iso");
    ASSERT_EQ(test::runProgram("genisoimage", {"-quiet", "-o", work, out.path()}).status, 0);
    std::filesystem::copy_file(work, victim);
    struct stat original {};
    ASSERT_EQ(::stat(victim.c_str(), &original), 0);
    for (const std::string swap : {"none", "symlink", "hardlink"}) {
        SCOPED_TRACE(swap);
        auto layout = DRBurn::layoutForImageFile(work);
        ASSERT_TRUE(layout);
        layout->setProperties(Dictionary{{DRTrackImageIsWorkFileKey, true}});
        if (swap != "none") {
            std::filesystem::remove(work);
            if (swap == "symlink") {
                std::filesystem::create_symlink(victim, work);
            } else {
                std::filesystem::create_hard_link(victim, work);
            }
        }
        const auto last = burn(Value(layout));
        ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
        struct stat written {};
        struct stat atWork {};
        ASSERT_EQ(::stat(out.file("CDROM.iso").c_str(), &written), 0);
        ASSERT_EQ(::stat(work.c_str(), &atWork), 0);
        EXPECT_EQ(written.st_ino == atWork.st_ino, swap == "none");  // linked only when its own
        EXPECT_NE(written.st_ino, original.st_ino);
        EXPECT_TRUE(readFile(out.file("CDROM.iso")) == readFile(victim));
        std::filesystem::remove(out.file("CDROM.iso"));
        std::filesystem::remove(work);
        std::filesystem::copy_file(victim, work);
        ejectAndWait();
    }
    struct stat after {};
    ASSERT_EQ(::stat(victim.c_str(), &after), 0);
    EXPECT_EQ(after.st_nlink, 1u);
}

}  // namespace
}  // namespace kilnware::platform
