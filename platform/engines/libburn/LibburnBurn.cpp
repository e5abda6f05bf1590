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

#include "platform/engines/libburn/LibburnParts.h"
#include "platform/foundation/Sha256.h"
#include "platform/media/CdLayout.h"
#include "platform/media/CueSheet.h"

namespace kilnware::platform::libburn {

using namespace burn;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr std::size_t kReadChunk = 32 * 2048;  // what one read command of libburn carries

struct Failure {
    std::string text;
};

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
            compose();
            configure();
            write();
            if (properties_[DRBurnVerifyDiscKey].boolValue()) {
                verify();
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
    // libburn's objects go before the drive they were made for.
    void release() {
        opts_.reset();
        disc_.reset();
        drive_.reset();
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
        burn_write_opts_set_multi(opts_.get(), 0);
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
        char reasons[BURN_REASONS_LEN] = {};
        const auto writeType =
            burn_write_opts_auto_write_type(opts_.get(), disc_.get(), reasons, 0);
        given_.writeType = writeType;
        tellWhatWasGiven();
        if (writeType == BURN_WRITE_NONE) {
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

    void write() {
        burn_drive* d = drive_->get();
        checkCancel();
        burn_disc_write(opts_.get(), disc_.get());
        drive_->waitWhileSpawning();
        const auto begun = std::chrono::steady_clock::now();
        const double speed1x = profileInfo(drive_->profile()).speed1x;
        bool cancelled = false;
        burn_progress progress{};
        while (burn_drive_get_status(d, &progress) != BURN_DRIVE_IDLE) {
            if (burn_->abortRequested() && !cancelled) {
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
        if (burn_drive_wrote_well(d) != 1) {
            for (const auto& feed : feeds_) {
                std::lock_guard lock(feed->mutex);
                if (!feed->error.empty()) {
                    throw Failure{feed->error};
                }
            }
            throw Failure{lastMessage("The recorder did not write the disc.")};
        }
        // A short burn may end between two looks: the last progress is the whole layout.
        reportWrite(tracks_.size(), totalBlocks_, -1, speed1x);
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
                burn_toc_entry entry{};
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
