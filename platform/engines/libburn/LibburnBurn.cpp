// One burn on a libburn drive: the disc model with a source per track, the write with its
// progress, and the read-back that verifies it.

#include "platform/engines/libburn/LibburnBurn.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/foundation/Log.h>

#include "platform/engines/libburn/Isoburn.h"
#include "platform/engines/libburn/LibburnParts.h"
#include "platform/foundation/Sha256.h"
#include "platform/media/CdLayout.h"
#include "platform/media/CueSheet.h"
#include "platform/media/DiscReading.h"
#include "platform/media/FilesystemImage.h"
#include "platform/media/Libburn.h"

namespace kilnware::platform::libburn {

using namespace burn;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr std::size_t kReadChunk = 32 * 2048;  // what one read command of libburn carries

struct Failure {
    std::string text;
};

// What a medium that is not blank holds, in words.
std::string holdings(const DRMediaInfo& medium) {
    if (medium.content == std::optional<std::string>(DRDeviceMediaContentAudio)) {
        return "audio tracks";
    }
    if (medium.content == std::optional<std::string>(DRDeviceMediaContentISO9660)) {
        const std::size_t count = medium.sessions.size();
        return (count == 1 ? std::string("an ISO 9660 session")
                           : std::to_string(count) + " ISO 9660 sessions") +
               (medium.volumeName ? " (\"" + *medium.volumeName + "\")" : "");
    }
    if (medium.content == std::optional<std::string>(DRDeviceMediaContentFileSystem) &&
        medium.fileSystem) {
        return "a file system (" + *medium.fileSystem + ")";
    }
    return "data";
}

std::mutex watchMutex;
std::function<void(const GivenBurn&)> burnWatch;

void tellWatch(const GivenBurn& given) {
    std::function<void(const GivenBurn&)> watch;
    {
        std::lock_guard lock(watchMutex);
        watch = burnWatch;
    }
    if (watch) {
        watch(given);
    }
}

// What a track's source hands to libburn: the reader cut to the announced size, its error, and
// the digest of every byte libburn took. libburn reads on a thread of its own and frees on ours;
// the lock makes that hand-over explicit.
struct Feed {
    std::mutex mutex;
    std::unique_ptr<DRTrackReader> reader;
    off_t size = 0;
    off_t served = 0;
    Sha256 digest;
    std::string error;
};

struct SourceData {
    std::shared_ptr<Feed> feed;
    std::shared_ptr<DROperation> operation;
};

int readSource(burn_source* source, unsigned char* buffer, int size) {
    auto* data = static_cast<SourceData*>(source->data);
    Feed& feed = *data->feed;
    std::lock_guard lock(feed.mutex);
    if (data->operation->abortRequested() || !feed.reader) {
        return -1;
    }
    const auto wanted = static_cast<std::size_t>(
        std::min<off_t>(size, std::max<off_t>(0, feed.size - feed.served)));
    auto* bytes = reinterpret_cast<std::byte*>(buffer);
    std::size_t got = 0;
    // libburn calls from C: nothing may be thrown through it.
    try {
        while (got < wanted) {
            const std::size_t n = feed.reader->read({bytes + got, wanted - got});
            if (n == 0) {
                break;
            }
            got += n;
        }
        feed.error = feed.reader->error();
    } catch (const std::exception& e) {
        feed.error = e.what();
    }
    if (!feed.error.empty()) {
        return -1;
    }
    // A reader that ends early leaves zeros: the track keeps the length it announced.
    std::memset(buffer + got, 0, wanted - got);
    feed.digest.update({bytes, wanted});
    feed.served += static_cast<off_t>(wanted);
    return static_cast<int>(wanted);
}

off_t sourceSize(burn_source* source) {
    Feed& feed = *static_cast<SourceData*>(source->data)->feed;
    std::lock_guard lock(feed.mutex);
    return feed.size;
}

int setSourceSize(burn_source* source, off_t size) {
    Feed& feed = *static_cast<SourceData*>(source->data)->feed;
    std::lock_guard lock(feed.mutex);
    feed.size = size;
    return 1;
}

void freeSource(burn_source* source) {
    auto* data = static_cast<SourceData*>(source->data);
    {
        std::lock_guard lock(data->feed->mutex);
        data->feed->reader.reset();
    }
    delete data;
}

// A burn_source over `feed`; libburn frees it with free(), so it comes from calloc.
SourcePtr newSource(std::shared_ptr<Feed> feed, std::shared_ptr<DROperation> operation) {
    SourcePtr source(static_cast<burn_source*>(std::calloc(1, sizeof(burn_source))));
    if (!source) {
        throw Failure{"Out of memory."};
    }
    source->refcount = 1;
    source->version = 1;
    source->read_xt = readSource;
    source->get_size = sourceSize;
    source->set_size = setSourceSize;
    source->free_data = freeSource;
    source->data = new SourceData{std::move(feed), std::move(operation)};
    return source;
}

}  // namespace

TrackAtOnce trackAtOnce(const media::CdLayout& cd, bool cdText) {
    TrackAtOnce result;
    if (cdText) {
        result.refusal =
            "This CD is written track at once, which cannot carry CD-Text: only a disc of audio "
            "tracks alone, written at once, can.";
        return result;
    }
    // libburn writes indices and pre-gaps only at once: here the recorder writes a gap of 2
    // seconds before every track, and each stream is burned whole as its track.
    for (std::size_t i = 0; i < cd.tracks.size(); ++i) {
        const media::CdTrack& track = cd.tracks[i];
        const std::string which = "Track " + std::to_string(i + 1);
        if (track.gapInStream > 0) {
            result.warnings.push_back(
                which + " is written track at once: its gap before INDEX 01 (" +
                media::msf(track.gapInStream) +
                ") is burned as the start of the track, after the recorder's gap of 2 seconds.");
        }
        if (track.silence != media::kFirstPreGap) {
            result.warnings.push_back(which +
                                      " is written track at once: its gap of silence is the "
                                      "recorder's 2 seconds, not " +
                                      media::msf(track.silence) + ".");
        }
    }
    return result;
}

namespace {

class BurnRun {
public:
    BurnRun(const std::string& address, const std::shared_ptr<DRBurn>& burn, const Value& layout,
            const VerifyHook& beforeVerify)
        : address_(address),
          burn_(burn),
          tracks_(DRBurn::tracksOfLayout(layout)),
          properties_(burn->properties()),
          beforeVerify_(beforeVerify) {}

    std::string run() {
        try {
            report(DRStatusStatePreparing, -1);
            prepare();
            if (blankFirst_) {
                blank();
            }
            if (tree_) {
                composeSession();
            } else {
                compose();
            }
            configure();
            write();
            if (properties_[DRBurnVerifyDiscKey].boolValue()) {
                if (tree_) {
                    verifySession();
                } else {
                    verify();
                }
            }
        } catch (const Failure& failure) {
            release();
            return failure.text;
        } catch (const std::exception& e) {
            release();
            return std::string("The burn failed: ") + e.what();
        }
        release();
        return {};
    }

private:
    // libburn's objects go before the drive they were made for; a session's files after the
    // image that reads them, which the drive holds.
    void release() {
        if (sessionPrepared_) {
            std::lock_guard lock(media::libburnMutex());
            isoburn_cancel_prepared_write(isoburn(drive_->get()), nullptr, 0);
        }
        opts_.reset();
        disc_.reset();
        drive_.reset();
        tree_.reset();
        lastMessage({});
    }

    void checkCancel() const {
        if (burn_->abortRequested()) {
            throw Failure{DROperation::kCancelledText};
        }
    }

    void report(const char* state, double fraction) {
        Dictionary status;
        status.set(DRStatusStateKey, state);
        status.set(DRStatusPercentCompleteKey, fraction);
        burn_->reportStatus(std::move(status));
    }

    // What is settled before anything is written: the tracks, the CD-Text, the drive and what it
    // can do for this burn.
    void prepare() {
        if (tracks_.empty()) {
            throw Failure{"The layout holds no tracks."};
        }
        checkCancel();
        const bool anyAudio = std::any_of(tracks_.begin(), tracks_.end(), [](const auto& track) {
            return track->kind() == DRTrack::Kind::Audio;
        });
        if (anyAudio) {
            std::string error;
            auto cd = media::cdLayout(tracks_, properties_, error);
            if (!cd) {
                throw Failure{error};
            }
            cd_ = std::move(*cd);
        }
        if (anyAudio) {
            if (auto block = properties_[DRCDTextKey].object<DRCDTextBlock>()) {
                const media::CDText text = media::cdTextFromBlock(*block, tracks_.size());
                if (!text.empty()) {
                    std::string error;
                    auto file = media::cdTextFile(text, tracks_.size(), error);
                    if (!file) {
                        throw Failure{error};
                    }
                    cdText_ = std::move(*file);
                }
            }
        }
        drive_ = Drive::grab(address_, true);
        if (!drive_) {
            throw Failure{lastMessage("The recorder " + address_ + " could not be opened.")};
        }
        lastMessage({});
        simulate_ = properties_[DRBurnTestingKey].boolValue();
        if (simulate_) {
            if (std::string refusal = simulationRefusal(*drive_); !refusal.empty()) {
                throw Failure{refusal};
            }
        }
        const int role = drive_->role();
        if (properties_[DRBurnVerifyDiscKey].boolValue() && !simulate_ && role != 1 && role != 2) {
            throw Failure{"The recorder " + address_ +
                          " cannot read back what it writes, so the burn cannot be verified."};
        }
        decideOnMedium();
    }

    // What the medium holds decides before anything is written: a session is added to it, or
    // it is written over (a rewritable not written in place is blanked first), or the burn stops.
    // A data track of files and folders becomes a session as xorriso lays it out (libisoburn),
    // whatever the medium holds, so that sessions can be added to it later.
    void decideOnMedium() {
        const DRMediaInfo medium = describeMedium(readMedium(*drive_));
        writtenInPlace_ = medium.overwritable;
        const bool append = properties_[DRBurnAppendKey].boolValue();
        if (tracks_.size() == 1) {
            tree_ = media::SessionTree::of(*tracks_.front());
        }
        if (tree_ && tree_->settings().hfsPlus) {
            tree_.reset();  // HFS+ stands at the medium's start: one image, written as it is
        }
        if (append && !tree_) {
            throw Failure{
                "Only a data disc of files and folders in ISO 9660 or Joliet can be "
                "added as a session."};
        }
        if (medium.blank) {
            return;
        }
        const std::string holds = "The medium in " + address_ + " holds " + holdings(medium);
        if (append) {
            if (medium.appendable &&
                medium.content == std::optional<std::string>(DRDeviceMediaContentISO9660)) {
                return;
            }
            throw Failure{holds + (!medium.appendable
                                       ? ", and it is closed: no session can be added to it."
                                   : libburn::sessionsUnreadable(medium)
                                       ? ": " + std::string(kSessionsUnreadable) + "."
                                       : ": a session can be added only to ISO 9660 sessions.")};
        }
        if (!properties_[DRBurnOverwriteDiscKey].boolValue()) {
            throw Failure{holds + ": it is written over only when the burn asks for it."};
        }
        if (!medium.overwritable && !medium.erasable) {
            throw Failure{holds + ", and a " + drive_->profileName() + " cannot be written over."};
        }
        // A simulation leaves the medium as it was.
        blankFirst_ = !simulate_;
    }

    // Makes the medium blank before it is written over: libisoburn blanks a rewritable written in
    // sequence (fast), and on media written in place makes the sessions unreadable to every
    // reader, so that none is taken for part of the new one.
    void blank() {
        checkCancel();
        burn_drive* d = drive_->get();
        {
            std::lock_guard lock(media::libburnMutex());
            isoburn_disc_erase(isoburn(d), 1);
        }
        drive_->waitWhileSpawning();
        while (burn_drive_get_status(d, nullptr) != BURN_DRIVE_IDLE) {
            report(DRStatusStateErasing, -1);
            std::this_thread::sleep_for(kPollInterval);
        }
        // libisoburn learns what the medium holds now when it grabs the drive again.
        drive_.reset();
        drive_ = Drive::grab(address_, true);
        if (!drive_) {
            throw Failure{lastMessage("The recorder " + address_ + " could not be opened.")};
        }
        std::lock_guard lock(media::libburnMutex());
        if (isoburn_disc_get_status(isoburn(drive_->get())) != BURN_DISC_BLANK) {
            throw Failure{"The medium in " + address_ +
                          " could not be blanked to be written over."};
        }
    }

    // The session: libisoburn reads the tree of the medium's last session (none on a blank
    // medium), the track's files and folders join it, and libisoburn lays out the image that
    // libisofs writes, with its MD5 tags, after the last session.
    void composeSession() {
        checkCancel();
        std::string error;
        {
            std::lock_guard lock(media::libburnMutex());
            error = prepareSession();
        }
        if (!error.empty()) {
            throw Failure{error};
        }
        totalBlocks_ = static_cast<std::uint64_t>(std::max(0, burn_disc_get_sectors(disc_.get())));
        trackBlocks_ = {totalBlocks_};
    }

    // Under libburn's lock: the failure's text, or nothing.
    std::string prepareSession() {
        ::burn_drive* d = isoburn(drive_->get());
        isoburn_read_opts* readOpts = nullptr;
        if (isoburn_ropt_new(&readOpts, 0) != 1) {
            return "The session could not be laid out: out of memory.";
        }
        isoburn_ropt_set_extensions(readOpts, isoburn_ropt_noacl | isoburn_ropt_noea);
        IsoImage* image = nullptr;
        const int read = isoburn_read_image(d, readOpts, &image);
        isoburn_ropt_destroy(&readOpts, 0);
        if (read != 1 || !image) {
            return "The last session on the medium in " + address_ + " cannot be read.";
        }
        std::string error;
        const bool grafted =
            tree_->graft(image, properties_[DRBurnReplaceFilesKey].boolValue(), error);
        iso_image_unref(image);  // the drive keeps its own
        if (!grafted) {
            return "Nothing was written: " + error +
                   (error.ends_with("already") ? ", and the burn does not replace what it holds."
                                               : ".");
        }
        isoburn_imgen_opts* opts = nullptr;
        if (isoburn_igopt_new(&opts, 0) != 1) {
            return "The session could not be laid out: out of memory.";
        }
        // As the track's own images are written (FilesystemImage), with MD5 tags.
        const media::SessionTree::Settings settings = tree_->settings();
        isoburn_igopt_set_level(opts, 3);
        isoburn_igopt_set_extensions(opts, (settings.rockRidge ? isoburn_igopt_rockridge : 0) |
                                               (settings.joliet ? isoburn_igopt_joliet : 0) |
                                               isoburn_igopt_aaip | isoburn_igopt_session_md5 |
                                               isoburn_igopt_file_md5);
        isoburn_igopt_set_relaxed(
            opts, isoburn_igopt_always_gmt | isoburn_igopt_dir_rec_mtime |
                      (settings.joliet
                           ? isoburn_igopt_joliet_longer_paths | isoburn_igopt_joliet_long_names |
                                 isoburn_igopt_joliet_utf16 | isoburn_igopt_joliet_rec_mtime
                           : 0));
        const auto when = static_cast<time_t>(settings.laidOutAt);
        std::string stamp = media::volumeTimeStamp(settings.laidOutAt);
        isoburn_igopt_set_pvd_times(opts, when, when, 0, 0, stamp.data());
        ::burn_disc* disc = nullptr;
        const int prepared = isoburn_prepare_disc(d, &disc, opts);
        isoburn_igopt_destroy(&opts, 0);
        if (prepared != 1 || !disc) {
            return "The session could not be laid out for the medium in " + address_ + ".";
        }
        disc_.reset(reinterpret_cast<burn_disc*>(disc));
        sessionPrepared_ = true;
        return {};
    }

    // The disc model: one session, a track with a source for each DRTrack.
    void compose() {
        disc_.reset(burn_disc_create());
        SessionPtr session(burn_session_create());
        if (!disc_ || !session ||
            burn_disc_add_session(disc_.get(), session.get(), BURN_POS_END) != 1) {
            throw Failure{"The disc could not be laid out: out of memory."};
        }
        given_.sessions.emplace_back();
        for (const auto& track : tracks_) {
            TrackPtr t(burn_track_create());
            if (!t) {
                throw Failure{"The disc could not be laid out: out of memory."};
            }
            const bool audio = track->kind() == DRTrack::Kind::Audio;
            burn_track_define_data(t.get(), 0, 0, 1, audio ? BURN_AUDIO : BURN_MODE1);
            given_.sessions.back().emplace_back();
            if (!cd_.tracks.empty()) {
                describeOnCd(t.get(), cd_.tracks[feeds_.size()]);
            }
            auto feed = std::make_shared<Feed>();
            feed->reader = track->newReader();
            feed->size = static_cast<off_t>(track->estimateLength() * track->blockSize());
            SourcePtr source = newSource(feed, burn_);
            if (burn_track_set_source(t.get(), source.get()) != BURN_SOURCE_OK ||
                burn_session_add_track(session.get(), t.get(), BURN_POS_END) != 1) {
                throw Failure{"The disc could not be laid out: libburn refused a track."};
            }
            feeds_.push_back(std::move(feed));
            trackBlocks_.push_back(track->estimateLength());
            totalBlocks_ += track->estimateLength();
        }
    }

    // What a CD's table of contents and sub-channel say of the track: its control flags, its
    // gap (silence, then the stream's own blocks before index 1) and its ISRC.
    void describeOnCd(burn_track* t, const media::CdTrack& track) {
        GivenTrack& given = given_.sessions.back().back();
        int mode = track.audio ? BURN_AUDIO : BURN_MODE1;
        mode |= (track.preEmphasis ? BURN_PREEMPHASIS : 0) | (track.fourChannels ? BURN_4CH : 0) |
                (track.copyPermitted ? BURN_COPY : 0);
        burn_track_define_data(t, 0, 0, 1, mode);
        if (track.silence > 0) {
            const auto size = static_cast<int>(std::min<std::uint64_t>(track.silence, 1'000'000));
            if (burn_track_set_pregap_size(t, size, 0) > 0) {
                given.preGap = size;
            }
        }
        if (track.gapInStream > 0) {
            for (const unsigned start : {0u, static_cast<unsigned>(track.gapInStream)}) {
                if (burn_track_set_index(t, static_cast<int>(given.indices.size()), start, 0) > 0) {
                    given.indices.push_back(start);
                }
            }
        }
        if (track.isrc) {
            char isrc[13] = {};
            track.isrc->copy(isrc, 12);
            if (burn_track_set_isrc_string(t, isrc, 0) > 0) {
                given.isrc = isrc;
            }
        }
    }

    // The disc model as libburn holds it, with what was accepted beside it, for the watch.
    void tellWhatWasGiven() {
        int sessionCount = 0;
        burn_session** sessions = burn_disc_get_sessions(disc_.get(), &sessionCount);
        given_.sessions.resize(static_cast<std::size_t>(std::max(0, sessionCount)));
        for (std::size_t s = 0; s < given_.sessions.size(); ++s) {
            int trackCount = 0;
            burn_track** tracks = burn_session_get_tracks(sessions[s], &trackCount);
            auto& given = given_.sessions[s];
            given.resize(static_cast<std::size_t>(std::max(0, trackCount)));
            for (std::size_t i = 0; i < given.size(); ++i) {
                given[i].mode = burn_track_get_mode(tracks[i]);
                given[i].sectors = burn_track_get_sectors(tracks[i]);
            }
        }
        tellWatch(given_);
    }

    void configure() {
        burn_drive* d = drive_->get();
        opts_.reset(burn_write_opts_new(d));
        if (!opts_) {
            throw Failure{lastMessage("The recorder " + address_ + " cannot be written.")};
        }
        burn_write_opts_set_perform_opc(opts_.get(), 0);
        burn_write_opts_set_underrun_proof(opts_.get(), 1);
        if (burn_write_opts_set_simulate(opts_.get(), simulate_ ? 1 : 0) == 1) {
            given_.simulate = simulate_;
        }
        burn_write_opts_set_multi(opts_.get(), leftOpen() ? 1 : 0);
        if (!cdText_.empty()) {
            const auto packs = static_cast<int>((cdText_.size() - 4) / 18);
            if (burn_write_opts_set_leadin_text(opts_.get(), cdText_.data() + 4, packs, 0) > 0) {
                given_.cdTextPacks.assign(cdText_.begin() + 4, cdText_.end());
            }
        }
        const double kbps = properties_[DRBurnRequestedSpeedKey].doubleValue();
        given_.speed = kbps >= 1 ? static_cast<int>(std::min(kbps, 1e6)) : 0;
        burn_drive_set_speed(d, 0, given_.speed);
        if (cd_.catalog) {
            unsigned char catalog[13];
            std::copy_n(cd_.catalog->begin(), 13, catalog);
            burn_write_opts_set_mediacatalog(opts_.get(), catalog);
            burn_write_opts_set_has_mediacatalog(opts_.get(), 1);
            given_.catalog = *cd_.catalog;
        }
        // libisoburn chooses a session's write type itself.
        char reasons[BURN_REASONS_LEN] = {};
        const auto writeType =
            tree_ ? BURN_WRITE_NONE
                  : burn_write_opts_auto_write_type(opts_.get(), disc_.get(), reasons, 0);
        given_.writeType = writeType;
        tellWhatWasGiven();
        if (!tree_ && writeType == BURN_WRITE_NONE) {
            throw Failure{std::string("The medium cannot take this layout: ") + reasons};
        }
        if (writeType != BURN_WRITE_SAO && !cd_.tracks.empty()) {
            const TrackAtOnce atOnce = trackAtOnce(cd_, !cdText_.empty());
            if (!atOnce.refusal.empty()) {
                throw Failure{atOnce.refusal};
            }
            for (const std::string& warning : atOnce.warnings) {
                Log::warning(warning);
            }
        }
        // Where the first track goes, should the medium not say so in its table of contents.
        int lba = 0;
        int nwa = 0;
        if (burn_disc_track_lba_nwa(d, opts_.get(), 0, &lba, &nwa) == 1 && nwa > 0) {
            firstBlock_ = nwa;
        }
    }

    // Whether the burn leaves the medium open for more sessions: where it asks to and libburn can
    // (a stream, as a pipe or a character device is written, takes one session and no more;
    // media written in place take more sessions whatever the write said).
    bool leftOpen() const {
        if (!properties_[DRBurnAppendableKey].boolValue() || writtenInPlace_) {
            return properties_[DRBurnAppendableKey].boolValue();
        }
        burn_multi_caps* caps = nullptr;
        const bool open = burn_disc_get_multi_caps(drive_->get(), BURN_WRITE_NONE, &caps, 0) > 0 &&
                          caps && caps->multi_session;
        burn_disc_free_multi_caps(&caps);
        if (!open && drive_->role() == 1) {
            Log::warning("The " + drive_->profileName() + " in " + address_ +
                         " cannot be left open: no session can be added after this one.");
        }
        return open;
    }

    void write() {
        burn_drive* d = drive_->get();
        checkCancel();
        if (tree_) {
            std::lock_guard lock(media::libburnMutex());
            isoburn_disc_write(isoburn(opts_.get()), reinterpret_cast<::burn_disc*>(disc_.get()));
            sessionPrepared_ = false;
        } else {
            burn_disc_write(opts_.get(), disc_.get());
        }
        drive_->waitWhileSpawning();
        const auto begun = std::chrono::steady_clock::now();
        const double speed1x = profileInfo(drive_->profile()).speed1x;
        bool cancelled = false;
        burn_progress progress{};
        while (burn_drive_get_status(d, &progress) != BURN_DRIVE_IDLE) {
            // A session's file that changes while it is read stops the write.
            if ((burn_->abortRequested() || (tree_ && tree_->fault())) && !cancelled) {
                burn_drive_cancel(d);
                cancelled = true;
                given_.cancelled = true;
                tellWatch(given_);
            }
            std::uint64_t written = 0;
            for (int i = 0; i < progress.track && i < static_cast<int>(trackBlocks_.size()); ++i) {
                written += trackBlocks_[static_cast<std::size_t>(i)];
            }
            written = std::min<std::uint64_t>(
                totalBlocks_, written + static_cast<std::uint64_t>(std::max(0, progress.sector)));
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
            const double speed =
                seconds > 0 ? static_cast<double>(written * tracks_.front()->blockSize()) / seconds
                            : 0;
            reportWrite(static_cast<std::uint64_t>(progress.track + 1), written, speed, speed1x);
            std::this_thread::sleep_for(kPollInterval);
        }
        checkCancel();
        if (auto fault = tree_ ? tree_->fault() : std::nullopt) {
            // The session is not made the medium's newest where that is up to libisoburn.
            throw Failure{"the data track cannot be read: " + *fault};
        }
        if (burn_drive_wrote_well(d) != 1) {
            for (const auto& feed : feeds_) {
                std::lock_guard lock(feed->mutex);
                if (!feed->error.empty()) {
                    throw Failure{feed->error};
                }
            }
            throw Failure{lastMessage("The recorder did not write the disc.")};
        }
        // On media written in place, the new session's volume descriptors go to block 0, where
        // readers look first.
        if (tree_ && !simulate_) {
            std::lock_guard lock(media::libburnMutex());
            if (isoburn_activate_session(isoburn(d)) != 1) {
                throw Failure{
                    "The session was written, but could not be made the medium's newest."};
            }
        }
        // A short burn may end between two looks: the last progress is the whole layout.
        reportWrite(tracks_.size(), totalBlocks_, -1, speed1x);
    }

    // Reads the new session back against the MD5 tags it carries.
    void verifySession() {
        if (simulate_) {
            Log::write("libburn recorder: a simulated burn writes nothing to read back");
            return;
        }
        report(DRStatusStateVerifying, 0);
        if (beforeVerify_) {
            beforeVerify_(address_);
        }
        burn_drive* d = drive_->get();
        burn_drive_re_assess(d, 0);
        MediumReading reading = readMedium(*drive_);
        if (reading.sessions.empty()) {
            throw Failure{"The disc did not verify: the new session cannot be found."};
        }
        const DRMediaSession& session = reading.sessions.back();
        const media::BlockReader read = blockReader(d);
        media::SessionCheck check =
            media::checkSession(session.start, session.length, read, [&](std::uint64_t done) {
                report(DRStatusStateVerifying,
                       static_cast<double>(done) /
                           static_cast<double>(std::max<std::uint64_t>(1, session.length)));
                return !burn_->abortRequested();
            });
        checkCancel();
        if (check.result == media::SessionCheck::Result::Intact) {
            report(DRStatusStateVerifying, 1.0);
            return;
        }
        if (check.result == media::SessionCheck::Result::NoChecksums) {
            throw Failure{"The disc did not verify: the new session carries no checksums."};
        }
        media::nameDamagedFiles(check, read);
        throw Failure{"The disc did not verify: " + media::damageText(check)};
    }

    void reportWrite(std::uint64_t track, std::uint64_t written, double speed, double speed1x) {
        Dictionary status;
        status.set(DRStatusStateKey, DRStatusStateTrackWrite);
        status.set(DRStatusCurrentTrackKey, track);
        status.set(DRStatusTotalTracksKey, static_cast<std::uint64_t>(tracks_.size()));
        status.set(DRStatusBlocksWrittenKey, written);
        status.set(DRStatusBlocksToWriteKey, totalBlocks_);
        status.set(
            DRStatusPercentCompleteKey,
            totalBlocks_ ? static_cast<double>(written) / static_cast<double>(totalBlocks_) : 0.0);
        if (speed >= 0) {
            status.set(DRStatusCurrentSpeedKey, static_cast<std::uint64_t>(speed));
            status.set(DRStatusCurrentSpeedMultipleKey, speed / speed1x);
        }
        burn_->reportStatus(std::move(status));
    }

    // Reads every data track back from the medium and compares its digest with that of the bytes
    // libburn took. Audio has no exact block addresses when read back, so it is left out.
    void verify() {
        if (simulate_) {
            Log::write("libburn recorder: a simulated burn writes nothing to read back");
            return;
        }
        std::uint64_t blocks = 0;
        for (std::size_t i = 0; i < tracks_.size(); ++i) {
            if (tracks_[i]->kind() != DRTrack::Kind::Audio) {
                blocks += trackBlocks_[i];
            }
        }
        if (blocks == 0) {
            Log::warning("Audio cannot be read back exactly: the audio disc is not verified.");
            return;
        }
        if (blocks < totalBlocks_) {
            Log::warning("Audio cannot be read back exactly: only the data tracks are verified.");
        }
        report(DRStatusStateVerifying, 0);
        if (beforeVerify_) {
            beforeVerify_(address_);
        }
        burn_drive* d = drive_->get();
        // The drive learns what is on the medium now.
        burn_drive_re_assess(d, 0);
        const std::vector<std::int64_t> starts = trackStarts();
        auto buffer = std::make_unique<char[]>(kReadChunk);
        std::uint64_t done = 0;
        auto lastReport = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < tracks_.size(); ++i) {
            if (tracks_[i]->kind() == DRTrack::Kind::Audio) {
                continue;
            }
            const std::string which = "track " + std::to_string(i + 1);
            Sha256 read;
            const auto bytes = trackBlocks_[i] * 2048;
            for (std::uint64_t offset = 0; offset < bytes;) {
                checkCancel();
                const auto want =
                    static_cast<off_t>(std::min<std::uint64_t>(kReadChunk, bytes - offset));
                off_t count = 0;
                const off_t address =
                    static_cast<off_t>(starts[i] * 2048 + static_cast<std::int64_t>(offset));
                if (burn_read_data(d, address, buffer.get(), want, &count, 4) != 1 ||
                    count != want) {
                    const std::string why = lastMessage({});
                    throw Failure{"The disc did not verify: " + which + " could not be read back" +
                                  (why.empty() ? "." : " (" + why + ").")};
                }
                read.update({reinterpret_cast<const std::byte*>(buffer.get()),
                             static_cast<std::size_t>(want)});
                offset += static_cast<std::uint64_t>(want);
                done += static_cast<std::uint64_t>(want) / 2048;
                if (std::chrono::steady_clock::now() - lastReport >= kPollInterval) {
                    lastReport = std::chrono::steady_clock::now();
                    report(DRStatusStateVerifying,
                           static_cast<double>(done) / static_cast<double>(blocks));
                }
            }
            std::optional<Sha256::Digest> expected;
            {
                std::lock_guard lock(feeds_[i]->mutex);
                if (feeds_[i]->served == feeds_[i]->size) {
                    expected = feeds_[i]->digest.finish();
                }
            }
            if (!expected || read.finish() != *expected) {
                throw Failure{"The disc did not verify: " + which +
                              " reads back differently from what was written."};
            }
        }
        report(DRStatusStateVerifying, 1.0);
    }

    // The first block of each track on the medium: from the table of contents when its last
    // session holds our tracks, else one after the other from where the write began.
    std::vector<std::int64_t> trackStarts() const {
        std::vector<std::int64_t> starts;
        DiscPtr disc(burn_drive_get_disc(drive_->get()));
        int sessionCount = 0;
        burn_session** sessions =
            disc ? burn_disc_get_sessions(disc.get(), &sessionCount) : nullptr;
        int trackCount = 0;
        burn_track** tracks = sessions && sessionCount > 0
                                  ? burn_session_get_tracks(sessions[sessionCount - 1], &trackCount)
                                  : nullptr;
        if (tracks && trackCount >= static_cast<int>(tracks_.size())) {
            for (std::size_t i = 0; i < tracks_.size(); ++i) {
                burn::burn_toc_entry entry{};
                burn_track_get_entry(
                    tracks[trackCount - static_cast<int>(tracks_.size()) + static_cast<int>(i)],
                    &entry);
                const std::int64_t start =
                    (entry.extensions_valid & 1)
                        ? entry.start_lba
                        : burn_msf_to_lba(entry.pmin, entry.psec, entry.pframe);
                const std::int64_t length = (entry.extensions_valid & 1) ? entry.track_blocks : -1;
                if (start < 0 ||
                    (length >= 0 && static_cast<std::uint64_t>(length) < trackBlocks_[i])) {
                    starts.clear();
                    break;
                }
                starts.push_back(start);
            }
        }
        if (starts.size() != tracks_.size()) {
            starts.clear();
            std::int64_t next = firstBlock_;
            for (std::uint64_t blocks : trackBlocks_) {
                starts.push_back(next);
                next += static_cast<std::int64_t>(blocks);
            }
        }
        return starts;
    }

    const std::string address_;
    const std::shared_ptr<DRBurn> burn_;
    const std::vector<std::shared_ptr<DRTrack>> tracks_;
    const Dictionary properties_;
    const VerifyHook& beforeVerify_;
    std::vector<std::uint8_t> cdText_;
    media::CdLayout cd_;  // a CD's gaps, flags and codes; empty for other media
    bool simulate_ = false;
    std::unique_ptr<media::SessionTree> tree_;  // a session libisoburn lays out
    bool sessionPrepared_ = false;              // its image is being made, and not yet written
    bool blankFirst_ = false;
    bool writtenInPlace_ = false;  // the medium is written over in place (sessions emulated)
    std::unique_ptr<Drive> drive_;
    DiscPtr disc_;  // holds the sessions, tracks and sources
    WriteOptsPtr opts_;
    GivenBurn given_;  // for the watch
    std::vector<std::shared_ptr<Feed>> feeds_;
    std::vector<std::uint64_t> trackBlocks_;
    std::uint64_t totalBlocks_ = 0;
    std::int64_t firstBlock_ = 0;
};

}  // namespace

void watchBurns(std::function<void(const GivenBurn&)> watch) {
    std::lock_guard lock(watchMutex);
    burnWatch = std::move(watch);
}

std::string burnLayout(const std::string& address, const std::shared_ptr<DRBurn>& burn,
                       const Value& layout, const VerifyHook& beforeVerify) {
    return BurnRun(address, burn, layout, beforeVerify).run();
}

}  // namespace kilnware::platform::libburn
