#include <kilnware/platform/engines/virtual/ImageRecorder.h>

#include <fcntl.h>

#include <algorithm>
#include <utility>

#include <kilnware/platform/discrecording/DRMediaInfo.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>

#include "platform/engines/virtual/ImageBurn.h"
#include "platform/foundation/WorkerThreads.h"

namespace kilnware::platform {

namespace {

constexpr auto kEraseSteps = 20;

struct MediumTraits {
    ImageRecorder::Medium medium;
    const char* name;
    const char* displayName;
    const char* type;
    const char* mediaClass;
    std::uint64_t blocks;
    bool erasable;
};

// Capacities as the media report them, in 2048-byte blocks.
constexpr MediumTraits kMedia[] = {
    {ImageRecorder::Medium::CDR, "cd-r", "CD-R", DRDeviceMediaTypeCDR, DRDeviceMediaClassCD,
     359'848, false},
    {ImageRecorder::Medium::CDRW, "cd-rw", "CD-RW", DRDeviceMediaTypeCDRW, DRDeviceMediaClassCD,
     359'848, true},
    {ImageRecorder::Medium::DVDR, "dvd-r", "DVD-R", DRDeviceMediaTypeDVDR, DRDeviceMediaClassDVD,
     2'298'496, false},
    {ImageRecorder::Medium::DVDPlusR, "dvd+r", "DVD+R", DRDeviceMediaTypeDVDPlusR,
     DRDeviceMediaClassDVD, 2'295'104, false},
    {ImageRecorder::Medium::DVDRDualLayer, "dvd-r-dl", "DVD-R DL", DRDeviceMediaTypeDVDRDualLayer,
     DRDeviceMediaClassDVD, 4'171'712, false},
    {ImageRecorder::Medium::DVDRW, "dvd-rw", "DVD-RW", DRDeviceMediaTypeDVDRW,
     DRDeviceMediaClassDVD, 2'298'496, true},
    {ImageRecorder::Medium::BDR, "bd-r", "BD-R", DRDeviceMediaTypeBDR, DRDeviceMediaClassBD,
     12'219'392, false},
    {ImageRecorder::Medium::BDRE, "bd-re", "BD-RE", DRDeviceMediaTypeBDRE, DRDeviceMediaClassBD,
     12'219'392, true},
};

const MediumTraits& traits(ImageRecorder::Medium medium) {
    for (const MediumTraits& t : kMedia) {
        if (t.medium == medium) {
            return t;
        }
    }
    return kMedia[0];
}

double speed1x(const MediumTraits& t) {
    const std::string mediaClass = t.mediaClass;
    return mediaClass == DRDeviceMediaClassCD    ? image::kCDSpeed1x
           : mediaClass == DRDeviceMediaClassDVD ? image::kDVDSpeed1x
                                                 : image::kBDSpeed1x;
}

}  // namespace

std::optional<ImageRecorder::Medium> ImageRecorder::mediumNamed(const std::string& name) {
    for (const MediumTraits& t : kMedia) {
        if (name == t.name) {
            return t.medium;
        }
    }
    return std::nullopt;
}

std::vector<std::string> ImageRecorder::mediumNames() {
    std::vector<std::string> names;
    for (const MediumTraits& t : kMedia) {
        names.emplace_back(t.name);
    }
    return names;
}

std::shared_ptr<ImageRecorder> ImageRecorder::create(std::string outputFolder, Medium medium) {
    return std::make_shared<ImageRecorder>(std::move(outputFolder), medium);
}

ImageRecorder::ImageRecorder(std::string outputFolder, Medium medium)
    : folder_(std::move(outputFolder)),
      medium_(medium),
      workers_(std::make_unique<WorkerThreads>()) {
    std::lock_guard lock(mutex_);
    openFolder();
}

ImageRecorder::~ImageRecorder() {
    waitForOperations();
    UniqueFd closer(folderFd_);
}

int ImageRecorder::openFolder() {
    if (folderFd_ < 0 && !folder_.empty()) {
        folderFd_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return folderFd_;
}

void ImageRecorder::waitForOperations() {
    workers_->waitForAll();
}

void ImageRecorder::statusChanged() {
    DeviceRegistry::deviceStatusChanged(selfAs<DRDevice>());
}

void ImageRecorder::setOutputFolder(std::string folder) {
    std::lock_guard lock(mutex_);
    folder_ = std::move(folder);
    UniqueFd closer(std::exchange(folderFd_, -1));
    openFolder();
}

std::string ImageRecorder::outputFolder() const {
    std::lock_guard lock(mutex_);
    return folder_;
}

bool ImageRecorder::setMedium(Medium medium) {
    {
        std::lock_guard lock(mutex_);
        if (busy_) {
            return false;
        }
        medium_ = medium;
        present_ = true;
        blocksUsed_ = 0;
    }
    statusChanged();
    return true;
}

ImageRecorder::Medium ImageRecorder::medium() const {
    std::lock_guard lock(mutex_);
    return medium_;
}

void ImageRecorder::setMediumChangeDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    changeDelay_ = delay;
}

void ImageRecorder::setEraseDuration(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    eraseDuration_ = duration;
}

std::vector<std::string> ImageRecorder::lastImageFiles() const {
    std::lock_guard lock(mutex_);
    return lastFiles_;
}

void ImageRecorder::setBeforeVerifyHook(VerifyHook hook) {
    std::lock_guard lock(mutex_);
    verifyHook_ = std::move(hook);
}

std::uint64_t ImageRecorder::capacity() const {
    return traits(medium_).blocks;
}

std::string ImageRecorder::displayName() const {
    return kDisplayName;
}

Dictionary ImageRecorder::info() const {
    Dictionary info;
    info.set(DRDevicePhysicalInterconnectKey, kInterconnect);
    info.set(DRDeviceVendorNameKey, "Kilnware");
    info.set(DRDeviceProductNameKey, "Image Recorder");
    return info;
}

Dictionary ImageRecorder::status() const {
    std::lock_guard lock(mutex_);
    Dictionary status;
    status.set(DRDeviceIsBusyKey, busy_);
    status.set(DRDeviceIsTrayOpenKey, false);
    status.set(DRDeviceMediaStateKey,
               present_ ? DRDeviceMediaStateMediaPresent : DRDeviceMediaStateNone);
    if (!present_) {
        return status;
    }
    const std::uint64_t total = capacity();
    const bool erasable = traits(medium_).erasable;
    const bool blank = blocksUsed_ == 0;
    const std::uint64_t free = total - std::min(blocksUsed_, total);
    // A blank disc can be written whole; a written one is closed, and only a rewritable one can be
    // written again (over what it holds).
    const std::uint64_t overwritable = blank || erasable ? total : 0;
    DRMediaInfo media;
    media.type = traits(medium_).type;
    media.mediaClass = traits(medium_).mediaClass;
    media.blocksFree = free;
    media.blocksUsed = blocksUsed_;
    media.blocksOverwritable = overwritable;
    media.blank = media.appendable = blank;
    media.overwritable = media.erasable = erasable;
    status.set(DRDeviceMediaInfoKey, media.dictionary());
    return status;
}

bool ImageRecorder::ejectMedia() {
    std::chrono::milliseconds delay;
    {
        std::lock_guard lock(mutex_);
        if (busy_) {
            return false;
        }
        if (!present_) {
            return true;  // a blank is on its way already
        }
        present_ = false;
        delay = changeDelay_;
    }
    statusChanged();
    std::weak_ptr<ImageRecorder> weak = selfAs<ImageRecorder>();
    workers_->start([weak, delay] {
        std::this_thread::sleep_for(delay);
        if (auto self = weak.lock()) {
            self->insertBlank();
        }
    });
    return true;
}

void ImageRecorder::insertBlank() {
    {
        std::lock_guard lock(mutex_);
        if (present_) {
            return;  // the host put one in meanwhile
        }
        present_ = true;
        blocksUsed_ = 0;
    }
    statusChanged();
}

void ImageRecorder::startBurn(const std::shared_ptr<DRBurn>& burn, const Value& layout) {
    std::string error;
    std::optional<image::BurnPlan> plan;
    std::string folder;
    UniqueFd folderFd;
    VerifyHook hook;
    {
        std::lock_guard lock(mutex_);
        if (busy_) {
            error = "The image recorder is busy.";
        } else if (!present_) {
            error = "There is no disc in the image recorder: wait for the new blank one.";
        } else if (blocksUsed_ > 0 && !traits(medium_).erasable) {
            // A rewritable disc is overwritten whole; a written write-once disc is closed.
            error = "The disc in the image recorder is written: eject it for a blank one.";
        } else if (folder_.empty()) {
            error = "No folder is set for the image recorder's disc images.";
        } else if (burn->properties()[DRBurnTestingKey].boolValue()) {
            error = "The image recorder cannot simulate a burn: it writes an image or nothing.";
        } else if (burn->properties()[DRBurnAppendKey].boolValue()) {
            error =
                "The image recorder writes each disc as a new image: it adds no session to one. "
                "To add sessions to an image, burn into it as a libburn pseudo-drive "
                "(stdio:FILE).";
        } else {
            const MediumTraits& medium = traits(medium_);
            plan = image::planBurn(
                *burn, DRBurn::tracksOfLayout(layout),
                image::Medium{capacity(), std::string(medium.mediaClass) == DRDeviceMediaClassCD,
                              speed1x(medium)},
                error);
        }
        if (!plan) {
            burn->reportFailure(error);
            return;
        }
        busy_ = true;
        folder = folder_;
        // A descriptor of its own: the folder may be set anew while the burn runs.
        if (openFolder() >= 0) {
            folderFd.reset(::fcntl(folderFd_, F_DUPFD_CLOEXEC, 0));
        }
        hook = verifyHook_;
    }
    statusChanged();
    auto self = selfAs<ImageRecorder>();
    workers_->start([self, burn, plan = std::move(*plan), folder,
                     folderFd = std::make_shared<UniqueFd>(std::move(folderFd)), hook] {
        image::BurnOutcome outcome =
            image::runBurn(plan, std::move(*folderFd), folder, *burn, hook);
        {
            std::lock_guard lock(self->mutex_);
            self->busy_ = false;
            if (!outcome.error) {
                self->blocksUsed_ = std::max<std::uint64_t>(plan.blocksOnDisc, 1);
                self->lastFiles_ = outcome.files;
            }
        }
        // The recorder shows the outcome before the burn tells of it, so that whoever hears of
        // the end reads the written disc.
        self->statusChanged();
        if (outcome.error) {
            burn->reportFailure(*outcome.error);
        } else {
            burn->reportDone();
        }
    });
}

void ImageRecorder::startErase(const std::shared_ptr<DRErase>& erase) {
    std::string error;
    std::chrono::milliseconds duration;
    {
        std::lock_guard lock(mutex_);
        if (busy_) {
            error = "The image recorder is busy.";
        } else if (!present_) {
            error = "There is no disc in the image recorder.";
        } else if (!traits(medium_).erasable) {
            error = std::string("A ") + traits(medium_).displayName +
                    " cannot be erased: only a CD-RW, DVD-RW or BD-RE can.";
        }
        if (!error.empty()) {
            erase->reportFailure(error);
            return;
        }
        busy_ = true;
        duration = eraseDuration_;
    }
    if (erase->eraseType() == DREraseTypeComplete) {
        duration *= 4;
    }
    statusChanged();
    auto self = selfAs<ImageRecorder>();
    workers_->start([self, erase, duration] {
        bool cancelled = false;
        for (int step = 0; step < kEraseSteps && !cancelled; ++step) {
            Dictionary status;
            status.set(DRStatusStateKey, DRStatusStateErasing);
            status.set(DRStatusPercentCompleteKey, static_cast<double>(step) / kEraseSteps);
            erase->reportStatus(std::move(status));
            std::this_thread::sleep_for(duration / kEraseSteps);
            cancelled = erase->abortRequested();
        }
        {
            std::lock_guard lock(self->mutex_);
            self->busy_ = false;
            if (!cancelled) {
                self->blocksUsed_ = 0;
            }
        }
        self->statusChanged();
        if (cancelled) {
            erase->reportCancelled();
        } else {
            erase->reportDone();
        }
    });
}

ImageRecorderEngine::ImageRecorderEngine(std::string outputFolder, ImageRecorder::Medium medium)
    : recorder_(ImageRecorder::create(std::move(outputFolder), medium)) {}

std::string ImageRecorderEngine::name() const {
    return "Image Recorder";
}

void ImageRecorderEngine::start() {
    DeviceRegistry::deviceAppeared(recorder_);
}

void ImageRecorderEngine::stop() {
    DeviceRegistry::deviceDisappeared(recorder_);
}

}  // namespace kilnware::platform
