#include "platform/engines/virtual/ImageBurn.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>

#include "platform/engines/virtual/ReadAhead.h"
#include "platform/foundation/InputFile.h"
#include "platform/foundation/PlaceFile.h"
#include "platform/foundation/Sha256.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/RawSector.h"

namespace kilnware::platform::image {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// The disk is sent what was written every so many bytes, so that the flush before the image
// takes its name has little left to do.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{16} << 20;
// The kernel copies without our buffer: larger steps cost fewer calls, and still report often.
constexpr std::size_t kKernelCopyStep = std::size_t{64} << 20;
// The pipe that bytes off the file system's blocks pass through (see spliceRange).
constexpr std::size_t kPipeSize = std::size_t{1} << 20;
constexpr std::size_t kMaxNameBytes = 200;
constexpr auto kReportInterval = std::chrono::milliseconds(100);
constexpr auto kSpeedWindow = std::chrono::seconds(1);

class SteadyClock : public BurnClock {
public:
    Clock::time_point now() override { return Clock::now(); }
    void sleepFor(Clock::duration duration) override { std::this_thread::sleep_for(duration); }
};

std::mutex clockMutex;
std::shared_ptr<BurnClock> burnClock;

std::shared_ptr<BurnClock> currentClock() {
    std::lock_guard lock(clockMutex);
    return burnClock ? burnClock : std::make_shared<SteadyClock>();
}

std::string systemText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Ends a burn with a text for the user; caught by runBurn.
struct Failure {
    std::string text;
};

// A name this burn gave a file in its folder, known by the file's inode, which the burn holds
// open: a file someone else put at the name is never removed.
struct Owned {
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;

    static Owned of(std::string name, int fd) {
        struct stat st {};
        ::fstat(fd, &st);
        return Owned{std::move(name), st.st_dev, st.st_ino};
    }
    void removeIfOurs(int folder) const {
        struct stat st {};
        if (!name.empty() && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_dev == device && st.st_ino == inode) {
            ::unlinkat(folder, name.c_str(), 0);
        }
    }
};

// One output file. It is written anonymously (O_TMPFILE: no one can see it, open it or take its
// place) or, where the file system has no anonymous files, under a hidden temporary name, and it
// is named only once it is finished and on the disk. The final name is never held in advance:
// nothing that stands there, or comes there meanwhile, is ever replaced or removed.
struct Output {
    std::string extension;
    UniqueFd fd;
    Owned temporary;                  // the hidden name; none for an anonymous file
    Owned placed;                     // the final name, once it has it
    std::uint64_t written = 0;        // where the next bytes go: every write names its place
    std::uint64_t writeBackFrom = 0;  // what was written before this is on its way to the disk
};

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The bytes of the character that starts `text`, when it starts with a well-formed one; 0 if not.
std::size_t characterLength(std::string_view text) {
    for (std::size_t length = 1; length <= std::min<std::size_t>(4, text.size()); ++length) {
        if (isValidUtf8(text.substr(0, length))) {
            return length;
        }
    }
    return 0;
}

class Writer {
public:
    Writer(const BurnPlan& plan, UniqueFd folder, const std::string& folderPath,
           DROperation& operation, const std::function<void(const std::string&)>& beforeVerify)
        : plan_(plan),
          folder_(std::move(folder)),
          folderPath_(folderPath),
          operation_(operation),
          beforeVerify_(beforeVerify),
          clock_(currentClock()) {}

    BurnOutcome run() {
        try {
            report(DRStatusStatePreparing, -1);
            reserve();
            buffer_ = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
            started_ = lastReport_ = clock_->now();
            window_.emplace_back(started_, 0);
            if (plan_.form == BurnPlan::Form::BinCue) {
                writeBinCue();
            } else {
                writeImage();
            }
            if (plan_.verify) {
                verify();
            }
            report(DRStatusStateFinishing, 1.0);
            finish();
        } catch (const Failure& failure) {
            cleanUp();
            return BurnOutcome{failure.text, {}};
        }
        BurnOutcome outcome;
        for (Output& output : outputs_) {
            outcome.files.push_back(folderPath_ + "/" + output.placed.name);
            output.fd.reset();  // on the disk since its flush
        }
        return outcome;
    }

private:
    // Opens the folder, unless the recorder did, picks the first of NAME, NAME 2, NAME 3, ... for
    // which every file the burn makes is free now, and opens the files to write.
    void reserve() {
        if (!folder_) {
            folder_.reset(::open(folderPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!folder_) {
                throw Failure{"Could not write into " + folderPath_ + ": " + systemText(errno)};
            }
        }
        std::vector<std::string> extensions;
        if (plan_.form == BurnPlan::Form::BinCue) {
            extensions = {"bin", "cue"};
            if (plan_.cdTextFile) {
                extensions.push_back("cdt");
            }
        } else {
            extensions = {"iso"};
        }
        for (number_ = 1; number_ < kMaxNumber; ++number_) {
            if (std::all_of(extensions.begin(), extensions.end(),
                            [&](const std::string& e) { return isFree(name(number_, e)); })) {
                break;
            }
        }
        if (number_ == kMaxNumber) {
            throw Failure{"Could not find a free name for " + plan_.name + " in " + folderPath_ +
                          "."};
        }
        for (const std::string& extension : extensions) {
            Output output;
            output.extension = extension;
            openOutput(output);
            outputs_.push_back(std::move(output));
        }
    }

    std::string name(int number, const std::string& extension) const {
        return (number == 1 ? plan_.name : plan_.name + " " + std::to_string(number)) + "." +
               extension;
    }

    // What `output` is called: the name it is to take, until it has one.
    std::string nameOf(const Output& output) const {
        return output.placed.name.empty() ? name(number_, output.extension) : output.placed.name;
    }

    bool isFree(const std::string& name) const {
        struct stat st {};
        if (::fstatat(folder_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            return false;
        }
        if (errno != ENOENT) {
            throw Failure{"Could not write into " + folderPath_ + ": " + systemText(errno)};
        }
        return true;
    }

    std::string hiddenName(const Output& output) const {
        static std::atomic<unsigned> counter{0};
        static thread_local std::random_device random;
        return "." + name(number_, output.extension) + "." + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + "-" + std::to_string(random());
    }

    void openOutput(Output& output) {
        output.fd.reset(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        if (output.fd) {
            return;
        }
        // Without anonymous files (EOPNOTSUPP; EISDIR from a kernel that has none), a hidden name.
        if (errno != EOPNOTSUPP && errno != EISDIR) {
            throw Failure{"Could not write into " + folderPath_ + ": " + systemText(errno)};
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string hidden = hiddenName(output);
            output.fd.reset(::openat(folder_.get(), hidden.c_str(),
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (output.fd) {
                output.temporary = Owned::of(std::move(hidden), output.fd.get());
                return;
            }
            if (errno != EEXIST) {
                throw Failure{"Could not write into " + folderPath_ + ": " + systemText(errno)};
            }
        }
        throw Failure{"Could not write into " + folderPath_ + ": no free temporary name."};
    }

    Output& output(const std::string& extension) {
        return *std::find_if(outputs_.begin(), outputs_.end(),
                             [&](const Output& o) { return o.extension == extension; });
    }

    void writeBinCue() {
        Output& bin = output("bin");
        // Where each track lies on the disc: its silent pre-gap is no part of the BIN.
        std::uint64_t lba = 0;
        for (std::size_t i = 0; i < plan_.tracks.size(); ++i) {
            lba += plan_.cd.tracks[i].silence - (i == 0 ? media::kFirstPreGap : 0);
            if (plan_.cd.tracks[i].audio) {
                writeTrack(bin, i, DRTrack::kAudioBlockSize);
            } else {
                writeRawData(bin, i, lba);
            }
            lba += plan_.trackBlocks[i];
        }
        if (plan_.cdTextFile) {
            writeSmall(output("cdt"), *plan_.cdTextFile);
        }
        // The cue sheet follows once the BIN and the CD-Text, which it names, have their names.
    }

    void writeCue() {
        std::optional<std::string> cdtName;
        if (plan_.cdTextFile) {
            cdtName = output("cdt").placed.name;
        }
        media::CdLayout cd = plan_.cd;
        for (std::size_t i = 0; i < cd.tracks.size(); ++i) {
            cd.tracks[i].blocks = plan_.trackBlocks[i];
        }
        const std::string cue = media::cueSheet(output("bin").placed.name, cd, plan_.text, cdtName);
        writeSmall(output("cue"),
                   std::span(reinterpret_cast<const std::uint8_t*>(cue.data()), cue.size()));
    }

    void writeImage() { writeTrack(output("iso"), 0, DRTrack::kDataBlockSize); }

    // Writes data track `index`, whose first block lies at `lba` on the disc, as the raw sectors
    // of mode 1 that a BIN of a disc of data and audio holds: each 2048-byte block of its stream,
    // then blocks of zeros up to the blocks the plan gives it.
    void writeRawData(Output& out, std::size_t index, std::uint64_t lba) {
        currentTrack_ = index;
        const DRTrack& track = *plan_.tracks[index];
        const std::string number = std::to_string(index + 1);
        const auto reader = track.newReader();
        if (!reader) {
            throw Failure{"Could not read track " + number + " (" + track.description() + ")."};
        }
        constexpr std::size_t kRaw = media::kRawSectorBytes;
        const std::uint64_t blocks = plan_.trackBlocks[index];
        const std::uint64_t announced = track.estimateLength();
        std::array<std::byte, DRTrack::kDataBlockSize> data;
        for (std::uint64_t done = 0; done < blocks;) {
            const auto n = static_cast<std::size_t>(
                std::min<std::uint64_t>(chunkSize(kRaw) / kRaw, blocks - done));
            for (std::size_t k = 0; k < n; ++k, ++done) {
                std::size_t got = 0;
                while (done < announced && got < data.size()) {
                    const std::size_t read = reader->read(std::span(data).subspan(got));
                    if (read == 0) {
                        break;
                    }
                    got += read;
                }
                if (!reader->error().empty()) {
                    throw Failure{"Could not read track " + number + ": " + reader->error()};
                }
                if (done < announced && got < data.size()) {
                    throw Failure{"Track " + number + " ended after " + std::to_string(done) +
                                  " of its " + std::to_string(announced) + " blocks."};
                }
                std::fill(data.begin() + static_cast<std::ptrdiff_t>(got), data.end(),
                          std::byte{0});
                media::encodeMode1Sector(static_cast<std::uint32_t>(lba + done), data.data(),
                                         buffer_.get() + k * kRaw);
            }
            put(out, n * kRaw);
            progress(n * kRaw, kRaw);
        }
        // A track that holds more than it announced would come out cut short.
        std::byte extra[1];
        if (reader->read(extra) > 0) {
            throw Failure{"Track " + number + " is longer than the " + std::to_string(announced) +
                          " blocks it announced."};
        }
        blocksBefore_ += blocks;
        trackBytes_ = 0;
    }

    // Writes track `index`: copied from its file where its bytes lie in one, else streamed; then
    // zeros (silence) up to the blocks the plan gives it. A disc image copied from its file stays
    // byte for byte as it is.
    void writeTrack(Output& out, std::size_t index, std::size_t blockSize) {
        currentTrack_ = index;
        const DRTrack& track = *plan_.tracks[index];
        const std::uint64_t total = plan_.trackBlocks[index] * blockSize;
        std::uint64_t done = 0;
        auto extent = track.fileExtent();
        if (extent && plan_.form == BurnPlan::Form::Image && takeAsItLies(out, track, *extent)) {
            done = extent->length;
            progress(extent->length, blockSize);
        } else if (extent) {
            const bool whole = plan_.form == BurnPlan::Form::Image;
            done = copyExtent(out, *extent, blockSize,
                              whole ? extent->length : std::min(extent->length, total));
            if (whole) {
                done = std::max(done, total);
            }
        } else {
            done = streamTrack(out, index, blockSize);
        }
        if (done < total) {
            std::memset(
                buffer_.get(), 0,
                static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, total - done)));
        }
        while (done < total) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(chunkSize(blockSize), total - done));
            put(out, n);
            done += n;
            progress(n, blockSize);
        }
        blocksBefore_ += plan_.trackBlocks[index];
        trackBytes_ = 0;
    }

    // A work image that its maker removes after the burn becomes the output as it lies: another
    // name for the same file, so that its bytes are written once. Not when the burn reads back
    // what it wrote or holds its speed down, nor across file systems; false then, and the bytes
    // are copied.
    bool takeAsItLies(Output& out, const DRTrack& track, const DRTrack::FileExtent& extent) {
        if (plan_.verify || plan_.bytesPerSecond > 0 || extent.offset != 0 ||
            !track.properties()[DRTrackImageIsWorkFileKey].boolValue()) {
            return false;
        }
        // Only the maker's own file of one name: a link swapped in at the path, or another name
        // of someone's file, would make the output that file.
        UniqueFd in(::open(extent.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
            st.st_uid != ::geteuid() || static_cast<std::uint64_t>(st.st_size) != extent.length ||
            (extent.file && FileIdentity::of(st) != *extent.file)) {
            return false;
        }
        // The file just opened, never whatever a link at its path leads to by now, gets a hidden
        // name beside the outputs (which tells whether a link can be made there at all), and
        // takes its final name in the end as every output does.
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string hidden = hiddenName(out);
            const int error = linkWithoutReplacing(in.get(), folder_.get(), hidden);
            if (error == 0) {
                out.temporary.removeIfOurs(folder_.get());
                out.temporary = Owned::of(std::move(hidden), in.get());
                out.fd = std::move(in);  // flushed before it takes its name, as every output
                out.written = extent.length;
                out.writeBackFrom = extent.length;
                return true;
            }
            if (error != EEXIST) {
                return false;
            }
        }
        return false;
    }

    // Streams the track as its reader gives it; returns the bytes written. It is read on a thread
    // of its own while the writing goes on, and the next track starts decoding once this one is
    // read.
    std::uint64_t streamTrack(Output& out, std::size_t index, std::size_t blockSize) {
        const DRTrack& track = *plan_.tracks[index];
        const std::string number = std::to_string(index + 1);
        std::unique_ptr<ReadAhead> ahead = readAhead(index, blockSize);
        if (!ahead) {
            throw Failure{"Could not read track " + number + " (" + track.description() + ")."};
        }
        const std::uint64_t expected = track.estimateLength() * blockSize;
        std::uint64_t done = 0;
        bool longer = false;
        DRTrackReader& reader = ahead->reader();
        ahead->start();
        for (auto data = ahead->next(); !data.empty(); data = ahead->next()) {
            put(out, data);
            done += data.size();
            progress(data.size(), blockSize);
            if (!upcoming_ && ahead->finished()) {
                upcoming_ = readAhead(index + 1, blockSize);
                upcomingIndex_ = index + 1;
            }
        }
        longer = ahead->longer();
        if (!reader.error().empty()) {
            throw Failure{"Could not read track " + number + ": " + reader.error()};
        }
        if (expected - done >= blockSize) {
            throw Failure{"Track " + number + " ended after " + std::to_string(done / blockSize) +
                          " of its " + std::to_string(track.estimateLength()) + " blocks."};
        }
        if (longer) {
            throw Failure{"Track " + number + " is longer than the " +
                          std::to_string(track.estimateLength()) + " blocks it announced."};
        }
        return done;
    }

    // Track `index`'s reader, started early where the track before was read ahead; none for a
    // track past the last, one whose bytes are copied from its file, or one that cannot be read.
    std::unique_ptr<ReadAhead> readAhead(std::size_t index, std::size_t blockSize) {
        if (upcoming_ && upcomingIndex_ == index) {
            return std::move(upcoming_);
        }
        // A data track of a BIN is read as its sectors are made (writeRawData).
        if (index >= plan_.tracks.size() || plan_.tracks[index]->fileExtent() ||
            (plan_.form == BurnPlan::Form::BinCue && !plan_.cd.tracks[index].audio)) {
            return nullptr;
        }
        const DRTrack& track = *plan_.tracks[index];
        auto reader = track.newReader();
        if (!reader) {
            return nullptr;
        }
        auto ahead = std::make_unique<ReadAhead>(std::move(reader), chunkSize(blockSize),
                                                 track.estimateLength() * blockSize);
        ahead->start();
        return ahead;
    }

    // Copies `length` bytes of the extent, by the kernel where it can; verification needs the
    // bytes, so then they pass through here. Returns the bytes written.
    std::uint64_t copyExtent(Output& out, const DRTrack::FileExtent& extent, std::size_t blockSize,
                             std::uint64_t length) {
        // Never waiting on it: a pipe put in the file's place must not stall the burn.
        const UniqueFd in = openRegularFile(extent.path);
        struct stat st {};
        if (!in || ::fstat(in.get(), &st) != 0) {
            throw Failure{"Could not read " + extent.path + ": " + whyNotRegularFile(errno)};
        }
        // The bytes are the track's only in the file it measured, and only if that file stays
        // as it is until after its last byte is copied: written meanwhile, it may give a mix.
        const auto opened = FileIdentity::of(st);
        if (extent.file && opened != *extent.file) {
            throw Failure{extent.path + " has changed since it was chosen."};
        }
        // From an offset off the file system's blocks (the PCM of a WAV) no extent can be shared,
        // and the kernel's own copy is then slower than one through a pipe of our own.
        const bool aligned =
            st.st_blksize > 0 && extent.offset % static_cast<std::uint64_t>(st.st_blksize) == 0;
        bool kernelCopy = !plan_.verify && aligned;
        std::uint64_t done = 0;
        if (!plan_.verify && !aligned && plan_.bytesPerSecond <= 0) {
            done = spliceRange(out, in.get(), extent.offset, length, blockSize);
        }
        while (done < length) {
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(chunkSize(blockSize), length - done));
            loff_t from = static_cast<loff_t>(extent.offset + done);
            ssize_t n = -1;
            if (kernelCopy) {
                const std::size_t step = plan_.bytesPerSecond > 0
                                             ? want
                                             : static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   kKernelCopyStep, length - done));
                loff_t to = static_cast<loff_t>(out.written);
                n = ::copy_file_range(in.get(), &from, out.fd.get(), &to, step, 0);
                if (n < 0 && errno != EINTR && errno != EIO && errno != ENOSPC && errno != EFBIG &&
                    errno != EDQUOT) {
                    kernelCopy = false;  // not between these file systems: copy by hand
                    continue;
                }
                if (n < 0 && errno != EINTR) {
                    throw Failure{"Could not write " + nameOf(out) + ": " + systemText(errno)};
                }
                if (n > 0) {
                    wrote(out, static_cast<std::size_t>(n));
                }
            } else {
                n = ::pread(in.get(), buffer_.get(), want, from);
                if (n < 0 && errno != EINTR) {
                    throw Failure{"Could not read " + extent.path + ": " + systemText(errno)};
                }
                if (n > 0) {
                    put(out, static_cast<std::size_t>(n));
                }
            }
            if (n == 0) {
                throw Failure{extent.path + " ended while it was copied."};
            }
            if (n > 0) {
                done += static_cast<std::uint64_t>(n);
                progress(static_cast<std::size_t>(n), blockSize);
            }
        }
        if (FileIdentity::of(in.get()) != opened) {
            throw Failure{extent.path + " changed while it was burned."};
        }
        return done;
    }

    // Copies up to `length` bytes of `in` from `from` through a pipe: the kernel lends the file's
    // pages to the pipe and copies them once, into the output. Returns the bytes copied; where the
    // pipe cannot take them (or the file ends early) the rest is left to the caller.
    std::uint64_t spliceRange(Output& out, int in, std::uint64_t from, std::uint64_t length,
                              std::size_t blockSize) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return 0;
        }
        const UniqueFd source(ends[0]);
        const UniqueFd sink(ends[1]);
        const auto capacity = ::fcntl(sink.get(), F_SETPIPE_SZ, static_cast<int>(kPipeSize));
        const std::size_t step = capacity > 0 ? static_cast<std::size_t>(capacity) : 65536;
        std::uint64_t done = 0;
        while (done < length) {
            auto at = static_cast<loff_t>(from + done);
            const ssize_t lent =
                ::splice(in, &at, sink.get(), nullptr,
                         static_cast<std::size_t>(std::min<std::uint64_t>(step, length - done)),
                         SPLICE_F_MOVE);
            if (lent < 0 && errno == EINTR) {
                continue;
            }
            if (lent <= 0) {
                break;
            }
            for (ssize_t moved = 0; moved < lent;) {
                auto to = static_cast<loff_t>(out.written);
                const ssize_t n = ::splice(source.get(), nullptr, out.fd.get(), &to,
                                           static_cast<std::size_t>(lent - moved), SPLICE_F_MOVE);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    // What the pipe holds cannot be put back: the burn fails rather than lose it.
                    throw Failure{"Could not write " + nameOf(out) + ": " +
                                  systemText(n < 0 ? errno : EIO)};
                }
                wrote(out, static_cast<std::size_t>(n));
                moved += n;
            }
            done += static_cast<std::uint64_t>(lent);
            progress(static_cast<std::size_t>(lent), blockSize);
        }
        return done;
    }

    // Writes the first `n` bytes of the buffer.
    void put(Output& out, std::size_t n) { put(out, std::span<const std::byte>(buffer_.get(), n)); }

    void put(Output& out, std::span<const std::byte> data) {
        if (plan_.verify) {
            written_.update(data);
        }
        writeAll(out, data.data(), data.size());
    }

    void writeAll(Output& out, const std::byte* data, std::size_t n) {
        while (n > 0) {
            const ssize_t w = ::pwrite(out.fd.get(), data, n, static_cast<off_t>(out.written));
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw Failure{"Could not write " + nameOf(out) + ": " + systemText(errno)};
            }
            data += w;
            n -= static_cast<std::size_t>(w);
            wrote(out, static_cast<std::size_t>(w));
        }
    }

    // Starts the disk's writing of what has piled up, without waiting for it; errors show in the
    // flush at the end.
    static void wrote(Output& out, std::size_t n) {
        out.written += n;
        if (out.written - out.writeBackFrom >= kWriteBackStep) {
            ::sync_file_range(out.fd.get(), static_cast<off64_t>(out.writeBackFrom),
                              static_cast<off64_t>(out.written - out.writeBackFrom),
                              SYNC_FILE_RANGE_WRITE);
            out.writeBackFrom = out.written;
        }
    }

    void writeSmall(Output& out, std::span<const std::uint8_t> bytes) {
        writeAll(out, reinterpret_cast<const std::byte*>(bytes.data()), bytes.size());
    }

    // Bytes per step: a megabyte, or a twentieth of a second's worth when the speed is held down.
    std::size_t chunkSize(std::size_t blockSize) const {
        if (plan_.bytesPerSecond <= 0) {
            return kBufferSize;
        }
        const auto step = static_cast<std::size_t>(plan_.bytesPerSecond / 20);
        return std::clamp(step / blockSize * blockSize, blockSize, kBufferSize);
    }

    void progress(std::size_t bytes, std::size_t blockSize) {
        bytesDone_ += bytes;
        trackBytes_ += bytes;
        blocksDone_ = blocksBefore_ + trackBytes_ / blockSize;
        if (plan_.bytesPerSecond > 0) {
            const auto due =
                started_ +
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    static_cast<double>(bytesDone_) / plan_.bytesPerSecond));
            for (auto now = clock_->now(); now < due; now = clock_->now()) {
                checkCancel();
                clock_->sleepFor(
                    std::min<Clock::duration>(due - now, std::chrono::milliseconds(20)));
                reportWriting();
            }
        }
        checkCancel();
        reportWriting();
    }

    void checkCancel() const {
        if (operation_.abortRequested()) {
            throw Failure{DROperation::kCancelledText};
        }
    }

    void reportWriting() {
        const auto now = clock_->now();
        if (now - lastReport_ < kReportInterval) {
            return;
        }
        lastReport_ = now;
        // The speed over about the last second: a single interval holds too few steps to say.
        window_.emplace_back(now, bytesDone_);
        while (window_.size() > 2 && now - window_[1].first >= kSpeedWindow) {
            window_.pop_front();
        }
        const auto& [since, bytesThen] = window_.front();
        const double seconds = std::chrono::duration<double>(now - since).count();
        const double speed =
            seconds > 0 ? static_cast<double>(bytesDone_ - bytesThen) / seconds : 0;
        Dictionary status;
        status.set(DRStatusStateKey, DRStatusStateTrackWrite);
        status.set(DRStatusCurrentTrackKey, static_cast<std::uint64_t>(currentTrack_ + 1));
        status.set(DRStatusTotalTracksKey, static_cast<std::uint64_t>(plan_.tracks.size()));
        status.set(DRStatusBlocksWrittenKey, blocksDone_);
        status.set(DRStatusBlocksToWriteKey, plan_.blocksToWrite);
        status.set(DRStatusPercentCompleteKey,
                   plan_.blocksToWrite ? std::min(1.0, static_cast<double>(blocksDone_) /
                                                           static_cast<double>(plan_.blocksToWrite))
                                       : 1.0);
        status.set(DRStatusCurrentSpeedKey, static_cast<std::uint64_t>(speed));
        status.set(DRStatusCurrentSpeedMultipleKey, speed / plan_.speed1x);
        operation_.reportStatus(std::move(status));
    }

    void report(const char* state, double percent) {
        Dictionary status;
        status.set(DRStatusStateKey, state);
        status.set(DRStatusPercentCompleteKey, percent);
        operation_.reportStatus(std::move(status));
    }

    // Reads the image back from the disk and compares its digest with what was written.
    void verify() {
        Output& image = outputs_.front();
        const std::string expected = Sha256::hex(written_.finish());
        if (beforeVerify_) {
            beforeVerify_("/proc/self/fd/" + std::to_string(image.fd.get()));
        }
        Sha256 read;
        std::uint64_t total = 0;
        lastReport_ = clock_->now();
        for (;;) {
            const ssize_t n =
                ::pread(image.fd.get(), buffer_.get(), kBufferSize, static_cast<off_t>(total));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw Failure{"Could not read " + nameOf(image) + " back: " + systemText(errno)};
            }
            if (n == 0) {
                break;
            }
            read.update(std::span<const std::byte>(buffer_.get(), static_cast<std::size_t>(n)));
            total += static_cast<std::uint64_t>(n);
            checkCancel();
            if (clock_->now() - lastReport_ >= kReportInterval) {
                lastReport_ = clock_->now();
                report(DRStatusStateVerifying,
                       bytesDone_ ? std::min(1.0, static_cast<double>(total) /
                                                      static_cast<double>(bytesDone_))
                                  : 1.0);
            }
        }
        if (Sha256::hex(read.finish()) != expected) {
            throw Failure{"The disc image did not verify: " + nameOf(image) +
                          " reads back differently from what was written."};
        }
    }

    // Gives every file its final name; undone as a whole if one fails. Each file is on the disk
    // before it takes its name (a write error that only the flush reports fails the burn), and
    // the folder is flushed last, so that the names stay. A name someone took meanwhile stays
    // theirs: the file takes the next free number instead.
    void finish() {
        Output* cue = plan_.form == BurnPlan::Form::BinCue ? &output("cue") : nullptr;
        for (Output& output : outputs_) {
            if (&output != cue) {
                flush(output);
            }
        }
        // The BIN first: the CD-Text and the cue sheet follow its number.
        for (Output& output : outputs_) {
            if (&output != cue) {
                place(output);
            }
        }
        if (cue) {
            writeCue();
            flush(*cue);
            place(*cue);
        }
        syncFolder();
    }

    void flush(Output& output) {
        if (::fsync(output.fd.get()) != 0) {
            throw Failure{"Could not write " + nameOf(output) + ": " + systemText(errno)};
        }
    }

    void place(Output& output) {
        for (int number = number_; number < kMaxNumber; ++number) {
            std::string finalName = name(number, output.extension);
            const int error = output.temporary.name.empty()
                                  ? linkWithoutReplacing(output.fd.get(), folder_.get(), finalName)
                                  : placeWithoutReplacing(folder_.get(), output.temporary.name,
                                                          folder_.get(), finalName);
            if (error == 0) {
                output.placed = Owned::of(std::move(finalName), output.fd.get());
                output.temporary = Owned();
                number_ = number;
                return;
            }
            if (error != EEXIST) {
                throw Failure{"Could not name " + finalName + ": " + systemText(error)};
            }
        }
        throw Failure{"Could not find a free name for " + plan_.name + " in " + folderPath_ + "."};
    }

    void syncFolder() const {
        const UniqueFd folder(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // A file system that cannot flush a folder (EINVAL) keeps its names as it can.
        if (!folder || (::fsync(folder.get()) != 0 && errno != EINVAL)) {
            throw Failure{"Could not write into " + folderPath_ + ": " + systemText(errno)};
        }
    }

    // Takes away the names this burn gave, while they still name its files (held open until
    // here); anonymous files go with their descriptors.
    void cleanUp() {
        for (Output& output : outputs_) {
            if (folder_) {
                output.placed.removeIfOurs(folder_.get());
                output.temporary.removeIfOurs(folder_.get());
            }
            output.fd.reset();
        }
        outputs_.clear();
    }

    static constexpr int kMaxNumber = 10'000;

    const BurnPlan& plan_;
    UniqueFd folder_;
    const std::string& folderPath_;
    DROperation& operation_;
    const std::function<void(const std::string&)>& beforeVerify_;
    const std::shared_ptr<BurnClock> clock_;
    int number_ = 1;  // of the names: NAME, NAME 2, ...
    std::vector<Output> outputs_;
    std::unique_ptr<std::byte[]> buffer_;
    Sha256 written_;
    Clock::time_point started_;
    Clock::time_point lastReport_;
    std::uint64_t bytesDone_ = 0;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> window_;
    std::uint64_t trackBytes_ = 0;
    std::uint64_t blocksBefore_ = 0;
    std::uint64_t blocksDone_ = 0;
    std::size_t currentTrack_ = 0;
    // The next track, decoding while this one's last chunks are written.
    std::unique_ptr<ReadAhead> upcoming_;
    std::size_t upcomingIndex_ = 0;
};

}  // namespace

std::string safeFileName(std::string_view name) {
    std::string safe;
    for (std::size_t i = 0; i < name.size() && safe.size() < kMaxNameBytes;) {
        const std::size_t length = characterLength(name.substr(i));
        const auto c = static_cast<unsigned char>(name[i]);
        if (length == 0) {
            safe += '_';
            ++i;
        } else if (length == 1) {
            safe += c < 0x20 || c == 0x7f || c == '/' ? '_'
                    : c == '"'                        ? '\''
                                                      : static_cast<char>(c);
            ++i;
        } else if (safe.size() + length <= kMaxNameBytes) {
            safe.append(name.substr(i, length));
            i += length;
        } else {
            break;  // never half a character
        }
    }
    const std::size_t first = safe.find_first_not_of(". ");
    safe.erase(0, first == std::string::npos ? safe.size() : first);
    while (!safe.empty() && safe.back() == ' ') {
        safe.pop_back();
    }
    return safe.empty() ? std::string(kDefaultDiscName) : safe;
}

std::optional<BurnPlan> planBurn(const DRBurn& burn, std::vector<std::shared_ptr<DRTrack>> tracks,
                                 Medium medium, std::string& error) {
    BurnPlan plan;
    const std::size_t audio =
        static_cast<std::size_t>(std::count_if(tracks.begin(), tracks.end(), [](const auto& t) {
            return t->kind() == DRTrack::Kind::Audio;
        }));
    if (tracks.size() == 1 && audio == 0) {
        plan.form = BurnPlan::Form::Image;
    } else {
        plan.form = BurnPlan::Form::BinCue;
        if (!medium.isCD) {
            error = audio > 0 ? "Audio tracks need a CD, and the image recorder holds a DVD."
                              : "A disc of several tracks is a CD, and the image recorder holds "
                                "a DVD.";
            return std::nullopt;
        }
        if (tracks.size() > 99) {
            error = "A CD holds at most 99 tracks; this layout has " +
                    std::to_string(tracks.size()) + ".";
            return std::nullopt;
        }
    }

    const Dictionary properties = burn.properties();
    plan.verify = properties[DRBurnVerifyDiscKey].boolValue();
    plan.bytesPerSecond = std::max(0.0, properties[DRBurnRequestedSpeedKey].doubleValue() * 1000);
    plan.speed1x = medium.speed1x;
    auto block = properties[DRCDTextKey].object<DRCDTextBlock>();
    if (block && plan.form == BurnPlan::Form::BinCue) {
        plan.text = media::cdTextFromBlock(*block, tracks.size());
    }

    std::optional<std::string> name;
    if (plan.form == BurnPlan::Form::Image) {
        name = tracks.front()->volumeName();
    }
    if (!name && block) {
        name = block->objectForKey(DRCDTextTitleKey, 0).textValue();
    }
    plan.name = safeFileName(name.value_or(kDefaultDiscName));

    if (plan.form == BurnPlan::Form::BinCue) {
        auto cd = media::cdLayout(tracks, properties, error);
        if (!cd) {
            return std::nullopt;
        }
        plan.cd = std::move(*cd);
    }
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        std::uint64_t blocks = tracks[i]->estimateLength();
        std::uint64_t silence = 0;
        if (plan.form == BurnPlan::Form::BinCue) {
            blocks = std::max(blocks, kMinimumAudioBlocks);
            // The pause before track 1 lies ahead of the first block a disc counts.
            silence = plan.cd.tracks[i].silence - (i == 0 ? media::kFirstPreGap : 0);
        }
        plan.trackBlocks.push_back(blocks);
        plan.blocksToWrite = saturatingAdd(plan.blocksToWrite, blocks);
        plan.blocksOnDisc = saturatingAdd(plan.blocksOnDisc, saturatingAdd(blocks, silence));
    }
    plan.tracks = std::move(tracks);
    if (plan.blocksOnDisc > medium.capacity) {
        error = plan.name + " does not fit: " + std::to_string(plan.blocksOnDisc) +
                " blocks, the disc holds " + std::to_string(medium.capacity) + ".";
        return std::nullopt;
    }
    if (!plan.text.empty()) {
        plan.cdTextFile = media::cdTextFile(plan.text, plan.tracks.size(), error);
        if (!plan.cdTextFile) {
            return std::nullopt;
        }
    }
    return plan;
}

BurnOutcome runBurn(const BurnPlan& plan, UniqueFd folder, const std::string& folderPath,
                    DROperation& operation,
                    const std::function<void(const std::string&)>& beforeVerify) {
    return Writer(plan, std::move(folder), folderPath, operation, beforeVerify).run();
}

void setBurnClock(std::shared_ptr<BurnClock> clock) {
    std::lock_guard lock(clockMutex);
    burnClock = std::move(clock);
}

}  // namespace kilnware::platform::image
