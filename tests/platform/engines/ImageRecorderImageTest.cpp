#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "tests/helpers/IoShim.h"
#include "tests/platform/engines/ImageRecorderSupport.h"

namespace kilnware::platform {
namespace {

using test::filesIn;
using test::FileTrack;
using test::readFile;

using test::pattern;

class ImageRecorderImage : public test::ImageRecorderFixture {
protected:
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
    // UDF alone, of either revision (NSR02, NSR03), is a disc image too; other bytes are none.
    for (const std::string revision : {"0x0102", "0x0201"}) {
        const std::string udf = sources.file("udf-" + revision + ".img");
        ASSERT_EQ(
            test::runProgram("mkudffs", {"--udfrev=" + revision, "--blocksize=2048", udf, "300"})
                .status,
            0);
        const auto layout = DRBurn::layoutForImageFile(udf);
        ASSERT_TRUE(layout) << revision;
        EXPECT_EQ(layout->estimateLength(), 300u);
    }
    std::string why;
    EXPECT_FALSE(DRBurn::layoutForImageFile(source, why));
    EXPECT_EQ(why, source + " is no disc image: it holds no ISO 9660 or UDF volume descriptors");
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

// Layouts that do not fit the disc or the recorder, a folder that is gone or not set, a disc
// image replaced by a pipe, which must fail and never stall the burn, and tracks that give more
// than they announced, however they are read: each fails and leaves nothing.
TEST_F(ImageRecorderImage, BurnsThatCannotBeDoneLeaveNothing) {
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
    const std::string longer = "Track 1 is longer than the 1 blocks it announced.";
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
        {List(100, Value(audio)), ImageRecorder::Medium::CDR,
         "A CD holds at most 99 tracks; this layout has 100."},
        {Value(track(DRTrack::Kind::Data)), ImageRecorder::Medium::CDR,
         "Could not write into " + out.file("gone") + ": No such file or directory",
         out.file("gone")},
        {Value(track(DRTrack::Kind::Data)), ImageRecorder::Medium::CDR,
         "No folder is set for the image recorder's disc images.", ""},
        {Value(piped), ImageRecorder::Medium::CDR,
         "Could not read " + iso + ": it is not a regular file"},
        {Value(track(DRTrack::Kind::Data, {.extraBytes = 1})), ImageRecorder::Medium::CDR, longer},
        {List{Value(track(DRTrack::Kind::Data, {.extraBytes = 1})), Value(audio)},
         ImageRecorder::Medium::CDR, longer},
        {List{Value(track(DRTrack::Kind::Audio, {.extraBytes = 1}))}, ImageRecorder::Medium::CDR,
         longer},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(recorder->setMedium(c.medium));
        recorder->setOutputFolder(c.folder.value_or(out.path()));
        const auto last = burn(c.layout);
        EXPECT_EQ(errorText(last), c.text);
        expectNothingWritten(last);
    }
}

// The final names are taken only when the files are finished, never held in advance: a file that
// someone puts at one meanwhile (or copies there) stays theirs, and the burn's file takes the next
// free number; the cue sheet names the BIN wherever it went.
TEST_F(ImageRecorderImage, AFileThatComesToTheNameMeanwhileStaysAndTheImageTakesTheNext) {
    test::writeFile(source, pattern(2048 * 40));
    test::writeCDWav(sources.file("tone.wav"), 44100 * 5);
    const auto audio = DRTrack::trackForAudioFile(sources.file("tone.wav"));
    const std::pair<Value, std::vector<std::string>> cases[] = {
        {Value(track(DRTrack::Kind::Data, {.volumeName = "Trip"})), {"Trip.iso"}},
        {Value(List{Value(audio)}), {"Kilnware Disc.bin", "Kilnware Disc.cue"}},
    };
    for (const auto& [layout, names] : cases) {
        for (const std::string& taken : names) {
            SCOPED_TRACE(taken);
            clock->atCall(2, [&, taken] { test::writeFile(out.file(taken), "mine"); });
            const auto last = burn(layout);
            ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
            EXPECT_EQ(readFile(out.file(taken)), "mine");
            const std::string moved =
                taken.substr(0, taken.rfind('.')) + " 2" + taken.substr(taken.rfind('.'));
            const auto files = recorder->lastImageFiles();
            EXPECT_NE(std::find(files.begin(), files.end(), out.file(moved)), files.end());
            if (taken.ends_with(".iso")) {
                EXPECT_TRUE(readFile(out.file(moved)) == pattern(2048 * 40));
            } else if (taken.ends_with(".cue")) {
                EXPECT_NE(readFile(out.file(moved)).find("FILE \"Kilnware Disc.bin\""),
                          std::string::npos);
            } else {
                EXPECT_NE(readFile(out.file("Kilnware Disc 2.cue")).find("Kilnware Disc 2.bin"),
                          std::string::npos);
            }
            for (const std::string& name : filesIn(out.path())) {
                EXPECT_FALSE(name.starts_with(".")) << name;  // nothing hidden left behind
                std::filesystem::remove(out.file(name));
            }
            ejectAndWait();
        }
    }
}

// Rewrites `path` in place, same size, other bytes, as someone editing it would.
void rewriteInPlace(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "rewritten", 9, 100'000), 9);
    ::close(fd);
}

// An image or a WAV that someone rewrites in place while it is burned (copied by the kernel, held
// down to a speed, read back, spliced, or streamed by its reader), or before, would come out as
// neither file: the burn fails naming it, and nothing is left.
TEST_F(ImageRecorderImage, AnInputRewrittenWhileItIsBurnedFailsNamingIt) {
    const std::string iso = sources.file("disc.iso"), wav = sources.file("tone.wav");
    test::writeFile(sources.file("content.bin"), pattern(1 << 20));
    ASSERT_EQ(
        test::runProgram("genisoimage", {"-quiet", "-o", iso, sources.file("content.bin")}).status,
        0);
    test::writeCDWav(wav, 44100 * 20);  // 3.5 MB: the splice takes it in 1 MiB steps
    const std::string changed = " changed while it was burned.";
    struct Case {
        std::string path;
        Dictionary properties;
        bool before;  // rewritten before the burn starts rather than after its first step
        std::string said;
    };
    const Case cases[] = {
        {iso, {}, true, iso + " has changed since it was chosen."},
        {iso, Dictionary{{DRBurnRequestedSpeedKey, 1000.0}}, false, iso + changed},
        {iso, Dictionary{{DRBurnVerifyDiscKey, true}}, false, iso + changed},
        {wav, {}, false, wav + changed},
        {wav, {}, true, wav + " has changed since it was chosen."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + (c.before ? " before" : " while"));
        test::ageFile(c.path);
        auto track =
            c.path == iso ? DRBurn::layoutForImageFile(c.path) : DRTrack::trackForAudioFile(c.path);
        ASSERT_TRUE(track);
        if (c.before) {
            rewriteInPlace(c.path);
        } else {
            clock->atCall(3, [&] { rewriteInPlace(c.path); });
        }
        const auto last = burn(Value(track), c.properties);
        EXPECT_EQ(errorText(last), c.said);
        expectNothingWritten(last);
    }
    // The same for a reader that streams the image (to another recorder).
    test::ageFile(iso);
    auto track = DRBurn::layoutForImageFile(iso);
    auto reader = track->newReader();
    std::vector<std::byte> buffer(1 << 16);
    EXPECT_EQ(reader->read(buffer), buffer.size());
    rewriteInPlace(iso);
    while (reader->read(buffer) > 0) {
    }
    EXPECT_EQ(reader->error(), iso + " changed while it was burned");
}

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
        test::FileSizeLimit limit(1 << 20);
        for (const auto& [layout, name] : cases) {
            const auto last = burn(layout);
            EXPECT_EQ(errorText(last), "Could not write " + name + ": File too large");
            expectNothingWritten(last);
        }
    }
    // A write error that only the flush reports, and a name or a folder the disk fails to take.
    const std::string folder = std::filesystem::canonical(out.path());
    const std::pair<const char*, std::string> failures[] = {
        {"fsync", "Could not write Kilnware Disc.bin: Input/output error"},
        {"name", "Could not name Kilnware Disc.bin: Input/output error"},
        {"fsync-folder", "Could not write into " + out.path() + ": Input/output error"},
    };
    for (const auto& [fail, said] : failures) {
        SCOPED_TRACE(fail);
        kilnware_io_shim_configure(folder.c_str(), fail, nullptr);
        const auto last = burn(List{Value(audio)});
        kilnware_io_shim_configure(nullptr, nullptr, nullptr);
        EXPECT_EQ(errorText(last), said);
        expectNothingWritten(last);
    }
    EXPECT_EQ(state(burn(List{Value(audio)})), DRStatusStateDone);
}

// Every file is on the disk before it takes its name, and its name before the burn is done.
TEST_F(ImageRecorderImage, EveryFileIsFlushedThenNamedThenItsFolderFlushed) {
    test::writeFile(source, pattern(2048 * 40));
    test::writeCDWav(sources.file("tone.wav"), 44100);
    const std::string folder = std::filesystem::canonical(out.path());
    const std::string calls = sources.file("calls");
    kilnware_io_shim_configure(folder.c_str(), nullptr, calls.c_str());
    for (const Value& layout :
         {Value(track(DRTrack::Kind::Data)),
          Value(List{Value(DRTrack::trackForAudioFile(sources.file("tone.wav")))})}) {
        const auto last = burn(layout);
        ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
        ejectAndWait();
    }
    kilnware_io_shim_configure(nullptr, nullptr, nullptr);
    const auto names = filesIn(out.path());
    EXPECT_EQ(names, (std::vector<std::string>{"Kilnware Disc.bin", "Kilnware Disc.cue",
                                               "Kilnware Disc.iso"}));
    for (const std::string& name : names) {
        EXPECT_EQ(test::durabilityProblem(calls, folder, name), "");
    }
}

// A work image is linked as the output, never a file that took its place: a link to someone's
// image, or another name of it, is no file the layout chose, and the victim keeps its one name.
TEST_F(ImageRecorderImage, AWorkImageSwappedForAnotherFileIsNeverLinkedAsTheOutput) {
    const std::string work = sources.file("work.iso");
    const std::string victim = sources.file("victim.iso");
    ASSERT_EQ(test::runProgram("genisoimage", {"-quiet", "-o", work, out.path()}).status, 0);
    std::filesystem::copy_file(work, victim);
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
        if (swap == "none") {
            ASSERT_EQ(state(last), DRStatusStateDone) << errorText(last).value_or("");
            struct stat written {};
            struct stat atWork {};
            ASSERT_EQ(::stat(out.file("CDROM.iso").c_str(), &written), 0);
            ASSERT_EQ(::stat(work.c_str(), &atWork), 0);
            EXPECT_EQ(written.st_ino, atWork.st_ino);  // linked: the maker's own file
            std::filesystem::remove(out.file("CDROM.iso"));
            ejectAndWait();
        } else {
            EXPECT_EQ(errorText(last), work + " has changed since it was chosen.");
            expectNothingWritten(last);
        }
        std::filesystem::remove(work);
        std::filesystem::copy_file(victim, work);
    }
    struct stat after {};
    ASSERT_EQ(::stat(victim.c_str(), &after), 0);
    EXPECT_EQ(after.st_nlink, 1u);
}

}  // namespace
}  // namespace kilnware::platform
