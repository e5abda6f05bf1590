#include <kilnware/platform/engines/libburn/LibburnEngine.h>

#include <kilnware/platform/discrecording/DRMediaInfo.h>

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

// libburn.h declares its names in namespace burn when compiled as C++.
#include <libburn/libburn.h>

#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include <kilnware/platform/foundation/Log.h>

#include "platform/media/CueSheet.h"

namespace kilnware::platform {

using namespace burn;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr double kCDSpeed1x = 176'400;
constexpr double kDVDSpeed1x = 1'385'000;
constexpr double kBDSpeed1x = 4'495'625;

// The last failure libburn queued, or `fallback`; empties the queue.
std::string lastMessage(const std::string& fallback) {
    std::lock_guard lock(media::libburnMutex());
    std::string text = fallback;
    char minimum[] = "SORRY";
    char message[BURN_MSGS_MESSAGE_LEN] = {};
    char severity[80] = {};
    int code = 0;
    int osErrno = 0;
    while (burn_msgs_obtain(minimum, &code, message, &osErrno, severity) == 1) {
        text = std::string("libburn: ") + message;
    }
    return text;
}

const char* mediaClassForProfile(int profile) {
    if (profile >= 0x08 && profile <= 0x0a) {
        return DRDeviceMediaClassCD;
    }
    if (profile >= 0x10 && profile <= 0x2b) {
        return DRDeviceMediaClassDVD;
    }
    if (profile >= 0x40 && profile <= 0x43) {
        return DRDeviceMediaClassBD;
    }
    return DRDeviceMediaClassUnknown;
}

double speed1x(int profile) {
    const std::string cls = mediaClassForProfile(profile);
    return cls == DRDeviceMediaClassCD   ? kCDSpeed1x
           : cls == DRDeviceMediaClassBD ? kBDSpeed1x
                                         : kDVDSpeed1x;
}

// A reader's failure, written on libburn's thread and read on the burn's.
class SharedError {
public:
    void set(const std::string& text) {
        std::lock_guard lock(mutex_);
        text_ = text;
    }
    std::string get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// What a track's burn_source reads from: the track's reader, cut to the announced size. libburn
// reads on a thread of its own and frees on ours; the lock makes that hand-over explicit.
struct SourceState {
    std::mutex mutex;
    std::unique_ptr<DRTrackReader> reader;
    std::shared_ptr<DROperation> operation;
    off_t size = 0;
    off_t served = 0;
    std::shared_ptr<SharedError> error;
};

int readSource(burn_source* source, unsigned char* buffer, int size) {
    auto* state = static_cast<SourceState*>(source->data);
    std::lock_guard lock(state->mutex);
    if (state->operation->abortRequested() || !state->reader) {
        return -1;
    }
    const auto wanted = static_cast<std::size_t>(
        std::min<off_t>(size, std::max<off_t>(0, state->size - state->served)));
    std::size_t got = 0;
    while (got < wanted) {
        const std::size_t n =
            state->reader->read({reinterpret_cast<std::byte*>(buffer) + got, wanted - got});
        if (n == 0) {
            break;
        }
        got += n;
    }
    if (!state->reader->error().empty()) {
        state->error->set(state->reader->error());
        return -1;
    }
    // A reader that ends early leaves zeros: the track keeps the length it announced.
    std::memset(buffer + got, 0, wanted - got);
    state->served += static_cast<off_t>(wanted);
    return static_cast<int>(wanted);
}

off_t sourceSize(burn_source* source) {
    auto* state = static_cast<SourceState*>(source->data);
    std::lock_guard lock(state->mutex);
    return state->size;
}

int setSourceSize(burn_source* source, off_t size) {
    auto* state = static_cast<SourceState*>(source->data);
    std::lock_guard lock(state->mutex);
    state->size = size;
    return 1;
}

void freeSource(burn_source* source) {
    auto* state = static_cast<SourceState*>(source->data);
    {
        std::lock_guard lock(state->mutex);
        state->reader.reset();
    }
    delete state;
}

// A burn_source over `track`; libburn frees it with free(), so it comes from calloc.
burn_source* newSource(const DRTrack& track, std::shared_ptr<DROperation> operation,
                       std::shared_ptr<SharedError> error) {
    auto* source = static_cast<burn_source*>(std::calloc(1, sizeof(burn_source)));
    if (!source) {
        return nullptr;
    }
    auto* state = new SourceState;
    state->reader = track.newReader();
    state->operation = std::move(operation);
    state->size = static_cast<off_t>(track.estimateLength() * track.blockSize());
    state->error = std::move(error);
    source->refcount = 1;
    source->version = 1;
    source->read_xt = readSource;
    source->get_size = sourceSize;
    source->set_size = setSourceSize;
    source->free_data = freeSource;
    source->data = state;
    return source;
}

void waitWhileSpawning(burn_drive* drive) {
    while (burn_drive_get_status(drive, nullptr) == BURN_DRIVE_SPAWNING) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

// A grabbed drive, released when it goes.
struct LibburnRecorder::Drive {
    burn_drive_info* infos = nullptr;
    burn_drive* drive = nullptr;
    bool eject = false;

    static std::unique_ptr<Drive> grab(const std::string& address, bool load) {
        std::lock_guard lock(media::libburnMutex());
        if (!media::startLibburn()) {
            return nullptr;
        }
        std::vector<char> adr(address.begin(), address.end());
        adr.push_back('\0');
        auto grabbed = std::make_unique<Drive>();
        if (burn_drive_scan_and_grab(&grabbed->infos, adr.data(), load ? 1 : 0) != 1 ||
            !grabbed->infos) {
            if (grabbed->infos) {
                burn_drive_info_free(grabbed->infos);
            }
            return nullptr;
        }
        grabbed->drive = grabbed->infos[0].drive;
        return grabbed;
    }
    Drive() = default;
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;
    ~Drive() {
        if (drive) {
            std::lock_guard lock(media::libburnMutex());
            burn_drive_release(drive, eject ? 1 : 0);
            burn_drive_info_free(infos);
        }
    }
};

const char* LibburnRecorder::mediaTypeForProfile(int profile) {
    switch (profile) {
        case 0x08:
            return DRDeviceMediaTypeCDROM;
        case 0x09:
            return DRDeviceMediaTypeCDR;
        case 0x0a:
            return DRDeviceMediaTypeCDRW;
        case 0x10:
            return DRDeviceMediaTypeDVDROM;
        case 0x11:
        case 0x14:  // DVD-RW written sequentially is written as a DVD-R
            return profile == 0x11 ? DRDeviceMediaTypeDVDR : DRDeviceMediaTypeDVDRW;
        case 0x12:
            return DRDeviceMediaTypeDVDRAM;
        case 0x13:
            return DRDeviceMediaTypeDVDRW;
        case 0x15:
        case 0x16:
            return DRDeviceMediaTypeDVDRDualLayer;
        case 0x1a:
            return DRDeviceMediaTypeDVDPlusRW;
        case 0x1b:
            return DRDeviceMediaTypeDVDPlusR;
        case 0x2b:
            return DRDeviceMediaTypeDVDPlusRDoubleLayer;
        case 0x40:
            return DRDeviceMediaTypeBDROM;
        case 0x41:
        case 0x42:
            return DRDeviceMediaTypeBDR;
        case 0x43:
            return DRDeviceMediaTypeBDRE;
        default:
            return DRDeviceMediaTypeUnknown;
    }
}

std::shared_ptr<LibburnRecorder> LibburnRecorder::open(const std::string& address) {
    // libburn takes a folder for a write-only stream, which no burn could open.
    constexpr std::string_view kStdio = "stdio:";
    std::error_code ignored;
    if (address.starts_with(kStdio) &&
        std::filesystem::is_directory(address.substr(kStdio.size()), ignored)) {
        return nullptr;
    }
    auto drive = Drive::grab(address, false);
    if (!drive) {
        lastMessage({});
        return nullptr;
    }
    // Neither the null drive nor a read-only one can record.
    const int role = burn_drive_get_drive_role(drive->drive);
    if (role == 0 || role == 4) {
        return nullptr;
    }
    const burn_drive_info& info = drive->infos[0];
    auto recorder = std::make_shared<LibburnRecorder>(
        address, std::string(info.vendor, strnlen(info.vendor, sizeof info.vendor)),
        std::string(info.product, strnlen(info.product, sizeof info.product)), role);
    recorder->readMedium(*drive);
    return recorder;
}

LibburnRecorder::LibburnRecorder(std::string address, std::string vendor, std::string product,
                                 int role)
    : address_(std::move(address)),
      vendor_(std::move(vendor)),
      product_(std::move(product)),
      role_(role) {}

LibburnRecorder::~LibburnRecorder() {
    waitForOperations();
}

void LibburnRecorder::waitForOperations() {
    std::thread worker;
    {
        std::lock_guard lock(mutex_);
        worker.swap(worker_);
    }
    if (!worker.joinable()) {
        return;
    }
    // The last owner may let go on the worker itself, which cannot wait for itself.
    if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();
    } else {
        worker.join();
    }
}

void LibburnRecorder::spawn(std::function<void()> work) {
    waitForOperations();  // the previous one has ended: the recorder was not busy
    std::lock_guard lock(mutex_);
    worker_ = std::thread(std::move(work));
}

void LibburnRecorder::statusChanged() {
    DeviceRegistry::deviceStatusChanged(selfAs<DRDevice>());
}

std::string LibburnRecorder::displayName() const {
    std::string name = vendor_;
    name.erase(name.find_last_not_of(' ') + 1);
    std::string product = product_;
    product.erase(product.find_last_not_of(' ') + 1);
    if (!product.empty()) {
        name += name.empty() ? product : " " + product;
    }
    return name.empty() || role_ != 1 ? address_ : name;
}

Dictionary LibburnRecorder::info() const {
    Dictionary info;
    // libburn does not say how a drive is attached; pseudo-drives are files.
    info.set(DRDevicePhysicalInterconnectKey, role_ == 1 ? "Unknown" : "Pseudo-drive");
    info.set(DRDeviceVendorNameKey, vendor_);
    info.set(DRDeviceProductNameKey, product_);
    return info;
}

Dictionary LibburnRecorder::status() const {
    std::lock_guard lock(mutex_);
    Dictionary status = medium_;
    status.set(DRDeviceIsBusyKey, busy_);
    return status;
}

void LibburnRecorder::readMedium(Drive& drive) {
    burn_drive* d = drive.drive;
    burn_disc_status state = burn_disc_get_status(d);
    Dictionary status;
    status.set(DRDeviceIsTrayOpenKey, false);
    if (state == BURN_DISC_EMPTY) {
        status.set(DRDeviceMediaStateKey, DRDeviceMediaStateNone);
    } else if (state != BURN_DISC_BLANK && state != BURN_DISC_APPENDABLE &&
               state != BURN_DISC_FULL) {
        status.set(DRDeviceMediaStateKey, DRDeviceMediaStateInTransition);
    } else {
        status.set(DRDeviceMediaStateKey, DRDeviceMediaStateMediaPresent);
        int profile = 0;
        char profileName[80] = {};
        burn_disc_get_profile(d, &profile, profileName);
        const off_t space = burn_disc_available_space(d, nullptr);
        const std::uint64_t free = space > 0 ? static_cast<std::uint64_t>(space) / 2048 : 0;
        // A file always says blank; what it holds is what can be read back from it.
        int capacity = 0;
        std::uint64_t used = 0;
        if ((state != BURN_DISC_BLANK || role_ == 2) &&
            burn_get_read_capacity(d, &capacity, 0) > 0 && capacity > 0) {
            used = static_cast<std::uint64_t>(capacity);
        }
        const bool blank = used == 0 && state == BURN_DISC_BLANK;
        // Random-access media (DVD-RAM, DVD+RW, BD-RE, files) are written over in place.
        const bool randomAccess =
            role_ == 2 || profile == 0x12 || profile == 0x13 || profile == 0x1a || profile == 0x43;
        const bool erasable = burn_disc_erasable(d) == 1;
        // A file's free space already counts what it holds.
        const std::uint64_t overwritable = role_ == 2 ? free : randomAccess ? free + used : 0;
        DRMediaInfo media;
        media.type = mediaTypeForProfile(profile);
        media.mediaClass = mediaClassForProfile(profile);
        media.blocksFree = free;
        media.blocksUsed = used;
        media.blocksOverwritable = overwritable;
        media.blank = blank;
        media.appendable = state == BURN_DISC_BLANK || state == BURN_DISC_APPENDABLE;
        media.overwritable = randomAccess;
        media.erasable = erasable;
        status.set(DRDeviceMediaInfoKey, media.dictionary());
    }
    std::lock_guard lock(mutex_);
    medium_ = std::move(status);
}

void LibburnRecorder::refreshStatus() {
    {
        std::lock_guard lock(mutex_);
        if (busy_) {
            return;
        }
        busy_ = true;
    }
    finish(true);
}

bool LibburnRecorder::claim(std::string& error) {
    std::lock_guard lock(mutex_);
    if (busy_) {
        error = "The recorder " + address_ + " is busy.";
        return false;
    }
    busy_ = true;
    return true;
}

void LibburnRecorder::finish(bool readAgain) {
    if (readAgain) {
        if (auto drive = Drive::grab(address_, false)) {
            readMedium(*drive);
        } else {
            std::lock_guard lock(mutex_);
            medium_ = Dictionary();
            medium_.set(DRDeviceMediaStateKey, DRDeviceMediaStateNone);
        }
    }
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    statusChanged();
}

bool LibburnRecorder::ejectMedia() {
    std::string error;
    if (!claim(error)) {
        return false;
    }
    statusChanged();
    auto self = selfAs<LibburnRecorder>();
    spawn([self] {
        if (auto drive = Drive::grab(self->address_, false)) {
            drive->eject = true;
        }
        {
            std::lock_guard lock(self->mutex_);
            self->medium_ = Dictionary();
            self->medium_.set(DRDeviceMediaStateKey, DRDeviceMediaStateNone);
        }
        self->finish(false);
    });
    return true;
}

void LibburnRecorder::startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) {
    std::string error;
    if (!claim(error)) {
        burn->reportFailure(error);
        return;
    }
    statusChanged();
    auto self = selfAs<LibburnRecorder>();
    spawn([self, burn, layout] { self->runBurn(burn, layout); });
}

void LibburnRecorder::runBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) {
    Dictionary preparing;
    preparing.set(DRStatusStateKey, DRStatusStatePreparing);
    preparing.set(DRStatusPercentCompleteKey, -1.0);
    burn->reportStatus(preparing);

    const auto tracks = DRBurn::tracksOfLayout(layout);
    const Dictionary properties = burn->properties();
    auto fail = [&](const std::string& text) {
        finish(true);
        burn->reportFailure(text);
    };
    if (tracks.empty()) {
        return fail("The layout holds no tracks.");
    }
    if (burn->abortRequested()) {
        return fail(DROperation::kCancelledText);
    }
    const bool audio = tracks.front()->kind() == DRTrack::Kind::Audio;
    std::vector<std::uint8_t> cdText;
    if (audio) {
        if (auto block = properties[DRCDTextKey].object<DRCDTextBlock>()) {
            const media::CDText text = media::cdTextFromBlock(*block, tracks.size());
            if (!text.empty()) {
                std::string error;
                auto file = media::cdTextFile(text, tracks.size(), error);
                if (!file) {
                    return fail(error);
                }
                cdText = std::move(*file);
            }
        }
    }
    if (properties[DRBurnVerifyDiscKey].boolValue()) {
        Log::write("libburn recorder: verifying a burn is not done yet; the disc is not read back");
    }
    auto drive = Drive::grab(address_, true);
    if (!drive) {
        return fail(lastMessage("The recorder " + address_ + " could not be opened."));
    }
    lastMessage({});
    burn_drive* d = drive->drive;
    int profile = 0;
    char profileName[80] = {};
    burn_disc_get_profile(d, &profile, profileName);

    auto readerError = std::make_shared<SharedError>();
    std::uint64_t totalBlocks = 0;
    std::vector<std::uint64_t> trackBlocks;
    burn_disc* disc = burn_disc_create();
    burn_session* session = burn_session_create();
    burn_disc_add_session(disc, session, BURN_POS_END);
    for (const auto& track : tracks) {
        burn_track* t = burn_track_create();
        const bool isAudio = track->kind() == DRTrack::Kind::Audio;
        burn_track_define_data(t, 0, 0, 1, isAudio ? BURN_AUDIO : BURN_MODE1);
        if (isAudio) {
            const double gap = track->properties()[DRPreGapLengthKey].doubleValue();
            if (gap >= 1) {
                burn_track_set_pregap_size(t, static_cast<int>(std::min(gap, 1e6)), 0);
            }
        }
        if (burn_source* source = newSource(*track, burn, readerError)) {
            burn_track_set_source(t, source);
            burn_source_free(source);  // the track holds it now
        }
        burn_session_add_track(session, t, BURN_POS_END);
        burn_track_free(t);
        trackBlocks.push_back(track->estimateLength());
        totalBlocks += trackBlocks.back();
    }
    burn_write_opts* opts = burn_write_opts_new(d);
    burn_write_opts_set_perform_opc(opts, 0);
    burn_write_opts_set_underrun_proof(opts, 1);
    burn_write_opts_set_simulate(opts, 0);
    burn_write_opts_set_multi(opts, 0);
    if (!cdText.empty()) {
        burn_write_opts_set_leadin_text(opts, cdText.data() + 4,
                                        static_cast<int>((cdText.size() - 4) / 18), 0);
    }
    const double kbps = properties[DRBurnRequestedSpeedKey].doubleValue();
    burn_drive_set_speed(d, 0, kbps >= 1 ? static_cast<int>(std::min(kbps, 1e6)) : 0);
    char reasons[BURN_REASONS_LEN] = {};
    std::string failure;
    bool cancelled = false;
    if (burn_write_opts_auto_write_type(opts, disc, reasons, 0) == BURN_WRITE_NONE) {
        failure = std::string("The medium cannot take this layout: ") + reasons;
    } else {
        burn_disc_write(opts, disc);
        waitWhileSpawning(d);
        const auto begun = std::chrono::steady_clock::now();
        burn_progress progress{};
        while (burn_drive_get_status(d, &progress) != BURN_DRIVE_IDLE) {
            if (burn->abortRequested() && !cancelled) {
                burn_drive_cancel(d);
                cancelled = true;
            }
            std::uint64_t written = 0;
            for (int i = 0; i < progress.track && i < static_cast<int>(trackBlocks.size()); ++i) {
                written += trackBlocks[static_cast<std::size_t>(i)];
            }
            written = std::min<std::uint64_t>(
                totalBlocks, written + static_cast<std::uint64_t>(std::max(0, progress.sector)));
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
            const double speed = seconds > 0 ? written * tracks.front()->blockSize() / seconds : 0;
            Dictionary status;
            status.set(DRStatusStateKey, DRStatusStateTrackWrite);
            status.set(DRStatusCurrentTrackKey, static_cast<std::uint64_t>(progress.track + 1));
            status.set(DRStatusTotalTracksKey, static_cast<std::uint64_t>(tracks.size()));
            status.set(DRStatusBlocksWrittenKey, written);
            status.set(DRStatusBlocksToWriteKey, totalBlocks);
            status.set(DRStatusPercentCompleteKey,
                       totalBlocks ? static_cast<double>(written) / totalBlocks : 0.0);
            status.set(DRStatusCurrentSpeedKey, static_cast<std::uint64_t>(speed));
            status.set(DRStatusCurrentSpeedMultipleKey, speed / speed1x(profile));
            burn->reportStatus(std::move(status));
            std::this_thread::sleep_for(kPollInterval);
        }
        cancelled = cancelled || burn->abortRequested();
        if (!cancelled && burn_drive_wrote_well(d) != 1) {
            failure = readerError->get();
            if (failure.empty()) {
                failure = lastMessage("The recorder did not write the disc.");
            }
        }
        if (!cancelled && failure.empty()) {
            // A short burn may end between two looks: the last progress is the whole layout.
            Dictionary status;
            status.set(DRStatusStateKey, DRStatusStateTrackWrite);
            status.set(DRStatusCurrentTrackKey, static_cast<std::uint64_t>(tracks.size()));
            status.set(DRStatusTotalTracksKey, static_cast<std::uint64_t>(tracks.size()));
            status.set(DRStatusBlocksWrittenKey, totalBlocks);
            status.set(DRStatusBlocksToWriteKey, totalBlocks);
            status.set(DRStatusPercentCompleteKey, 1.0);
            burn->reportStatus(std::move(status));
        }
    }
    burn_write_opts_free(opts);
    burn_disc_free(disc);
    burn_session_free(session);
    drive.reset();
    lastMessage({});
    if (cancelled) {
        return fail(DROperation::kCancelledText);
    }
    if (!failure.empty()) {
        return fail(failure);
    }
    finish(true);
    burn->reportDone();
}

void LibburnRecorder::startErase(const std::shared_ptr<DRErase>& erase) {
    std::string error;
    if (!claim(error)) {
        erase->reportFailure(error);
        return;
    }
    statusChanged();
    auto self = selfAs<LibburnRecorder>();
    spawn([self, erase] { self->runErase(erase); });
}

void LibburnRecorder::runErase(const std::shared_ptr<DRErase>& erase) {
    auto fail = [&](const std::string& text) {
        finish(true);
        erase->reportFailure(text);
    };
    auto drive = Drive::grab(address_, true);
    if (!drive) {
        return fail(lastMessage("The recorder " + address_ + " could not be opened."));
    }
    lastMessage({});
    burn_drive* d = drive->drive;
    if (burn_disc_erasable(d) != 1) {
        return fail("The medium in " + displayName() + " cannot be erased.");
    }
    burn_disc_erase(d, erase->eraseType() == DREraseTypeComplete ? 0 : 1);
    waitWhileSpawning(d);
    bool cancelled = false;
    burn_progress progress{};
    while (burn_drive_get_status(d, &progress) != BURN_DRIVE_IDLE) {
        if (erase->abortRequested() && !cancelled) {
            burn_drive_cancel(d);
            cancelled = true;
        }
        Dictionary status;
        status.set(DRStatusStateKey, DRStatusStateErasing);
        status.set(
            DRStatusPercentCompleteKey,
            progress.sectors > 0 ? static_cast<double>(progress.sector) / progress.sectors : -1.0);
        erase->reportStatus(std::move(status));
        std::this_thread::sleep_for(kPollInterval);
    }
    const bool well = burn_drive_wrote_well(d) == 1;
    const std::string failure = well ? std::string() : lastMessage("The erase failed.");
    drive.reset();
    if (cancelled || erase->abortRequested()) {
        return fail(DROperation::kCancelledText);
    }
    if (!well) {
        return fail(failure);
    }
    finish(true);
    erase->reportDone();
}

LibburnEngine::LibburnEngine() = default;

LibburnEngine::~LibburnEngine() {
    stop();
}

std::string LibburnEngine::name() const {
    return "libburn";
}

void LibburnEngine::start() {
    std::vector<std::string> addresses;
    {
        std::lock_guard lock(media::libburnMutex());
        if (!media::startLibburn()) {
            Log::write("libburn recorder: libburn did not start");
            return;
        }
        burn_drive_info* infos = nullptr;
        unsigned int count = 0;
        int done = 0;
        while ((done = burn_drive_scan(&infos, &count)) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (done > 0 && infos) {
            for (unsigned int i = 0; i < count; ++i) {
                char adr[BURN_DRIVE_ADR_LEN] = {};
                if (burn_drive_d_get_adr(infos[i].drive, adr) > 0) {
                    addresses.emplace_back(adr);
                }
                // Not held: other programs may use the drive until we burn.
                burn_drive_info_forget(&infos[i], 0);
            }
        }
        if (infos) {
            burn_drive_info_free(infos);
        }
    }
    for (const std::string& address : addresses) {
        addRecorder(address);
    }
    startWatch();
}

void LibburnEngine::startWatch() {
    std::lock_guard lock(mutex_);
    if (watcher_.joinable()) {
        return;
    }
    // Without udev (a container, a system without it) the engine simply offers what it found.
    udev* context = udev_new();
    udev_monitor* monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (!monitor || stopFd < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", "disk") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (stopFd >= 0) {
            ::close(stopFd);
        }
        if (monitor) {
            udev_monitor_unref(monitor);
        }
        if (context) {
            udev_unref(context);
        }
        return;
    }
    stopFd_ = stopFd;
    watcher_ = std::thread([this, context, monitor, stopFd] { watch(context, monitor, stopFd); });
}

void LibburnEngine::watch(udev* context, udev_monitor* monitor, int stopFd) {
    pollfd fds[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        udev_device* device = udev_monitor_receive_device(monitor);
        if (!device) {
            continue;
        }
        const char* cdrom = udev_device_get_property_value(device, "ID_CDROM");
        const char* node = udev_device_get_devnode(device);
        const char* action = udev_device_get_action(device);
        if (cdrom && std::strcmp(cdrom, "1") == 0 && node && action) {
            deviceEvent(action, node);
        }
        udev_device_unref(device);
    }
    udev_monitor_unref(monitor);
    udev_unref(context);
}

bool LibburnEngine::watchingHotPlug() const {
    std::lock_guard lock(mutex_);
    return watcher_.joinable();
}

void LibburnEngine::deviceEvent(const std::string& action, const std::string& address) {
    if (action == "remove") {
        removeRecorder(address);
    } else if (action == "add") {
        addRecorder(address);
    } else if (action == "change") {
        if (auto recorder = find(address)) {
            recorder->refreshStatus();
        } else {
            addRecorder(address);
        }
    }
}

void LibburnEngine::stop() {
    std::thread watcher;
    int stopFd = -1;
    {
        std::lock_guard lock(mutex_);
        watcher.swap(watcher_);
        std::swap(stopFd, stopFd_);
    }
    if (watcher.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stopFd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
            Log::write("libburn recorder: the udev watch could not be told to stop");
        }
        watcher.join();
    }
    if (stopFd >= 0) {
        ::close(stopFd);
    }
    std::vector<std::shared_ptr<LibburnRecorder>> recorders;
    {
        std::lock_guard lock(mutex_);
        recorders.swap(recorders_);
    }
    for (const auto& recorder : recorders) {
        DeviceRegistry::deviceDisappeared(recorder);
        recorder->waitForOperations();
    }
}

std::shared_ptr<LibburnRecorder> LibburnEngine::find(const std::string& address) const {
    std::lock_guard lock(mutex_);
    for (const auto& recorder : recorders_) {
        if (recorder->address() == address) {
            return recorder;
        }
    }
    return nullptr;
}

void LibburnEngine::removeRecorder(const std::string& address) {
    std::shared_ptr<LibburnRecorder> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(recorders_.begin(), recorders_.end(), [&](const auto& recorder) {
            return recorder->address() == address;
        });
        if (it == recorders_.end()) {
            return;
        }
        removed = *it;
        recorders_.erase(it);
    }
    DeviceRegistry::deviceDisappeared(removed);
}

std::shared_ptr<LibburnRecorder> LibburnEngine::addRecorder(const std::string& address) {
    if (auto known = find(address)) {
        return known;
    }
    auto recorder = LibburnRecorder::open(address);
    if (!recorder) {
        return nullptr;
    }
    {
        std::lock_guard lock(mutex_);
        // The udev watch and the host may add the same drive at once: the first one stays.
        for (const auto& other : recorders_) {
            if (other->address() == address) {
                return other;
            }
        }
        recorders_.push_back(recorder);
    }
    DeviceRegistry::deviceAppeared(recorder);
    return recorder;
}

std::vector<std::shared_ptr<LibburnRecorder>> LibburnEngine::recorders() const {
    std::lock_guard lock(mutex_);
    return recorders_;
}

}  // namespace kilnware::platform
