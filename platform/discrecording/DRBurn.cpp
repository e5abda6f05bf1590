#include <kilnware/platform/discrecording/DRBurn.h>

#include <algorithm>
#include <limits>

#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::platform {

namespace {
// Flattens nested lists of tracks; false when the layout holds anything else.
bool collectTracks(const Value& layout, std::vector<std::shared_ptr<DRTrack>>& tracks) {
    if (auto track = layout.object<DRTrack>()) {
        tracks.push_back(std::move(track));
        return true;
    }
    if (const List* list = layout.list()) {
        for (const Value& element : *list) {
            if (!collectTracks(element, tracks)) {
                return false;
            }
        }
        return true;
    }
    return false;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// Every audio track of a CD lasts at least 4 seconds; the 2 seconds before track 1 are the
// disc's own.
constexpr std::uint64_t kMinimumAudioSectors = 300;
constexpr std::uint64_t kDiscPause = 150;
}  // namespace

std::shared_ptr<DRBurn> DRBurn::burnForDevice(std::shared_ptr<DRDevice> device) {
    return std::make_shared<DRBurn>(std::move(device));
}

Dictionary DRBurn::properties() const {
    std::lock_guard lock(mutex_);
    return properties_;
}

void DRBurn::setProperties(Dictionary properties) {
    std::lock_guard lock(mutex_);
    properties_ = std::move(properties);
}

bool DRBurn::verifyDisc() const {
    std::lock_guard lock(mutex_);
    return properties_[DRBurnVerifyDiscKey].boolValue();
}

void DRBurn::setVerifyDisc(bool verify) {
    std::lock_guard lock(mutex_);
    properties_.set(DRBurnVerifyDiscKey, verify);
}

std::vector<std::shared_ptr<DRTrack>> DRBurn::tracksOfLayout(const Value& layout) {
    std::vector<std::shared_ptr<DRTrack>> tracks;
    if (!collectTracks(layout, tracks)) {
        tracks.clear();
    }
    return tracks;
}

std::uint64_t DRBurn::sectorsOfLayout(const Value& layout) {
    std::uint64_t sectors = 0;
    bool first = true;
    for (const auto& track : tracksOfLayout(layout)) {
        std::uint64_t length = track->estimateLength();
        if (track->kind() == DRTrack::Kind::Audio) {
            length = std::max(length, kMinimumAudioSectors);
            // Read as a double so that any kind of number counts; a silly one only fails to fit.
            const double gap = track->properties()[DRPreGapLengthKey].doubleValue();
            std::uint64_t preGap = gap >= 1 ? static_cast<std::uint64_t>(std::min(gap, 1e15)) : 0;
            preGap = first ? preGap - std::min(preGap, kDiscPause) : preGap;
            length = saturatingAdd(length, preGap);
        }
        sectors = saturatingAdd(sectors, length);
        first = false;
    }
    return sectors;
}

void DRBurn::writeLayout(const Value& layout) {
    if (!beginReporting()) {
        return;  // a burn object burns once
    }
    auto recorder = device();
    if (!recorder) {
        reportFailure("No recorder was chosen for the burn.");
        return;
    }
    if (tracksOfLayout(layout).empty()) {
        reportFailure("The layout holds no track to burn.");
        return;
    }
    recorder->startBurn(selfAs<DRBurn>(), layout);
}

std::shared_ptr<DRErase> DRErase::eraseForDevice(std::shared_ptr<DRDevice> device) {
    return std::make_shared<DRErase>(std::move(device));
}

std::string DRErase::eraseType() const {
    std::lock_guard lock(mutex_);
    return eraseType_;
}

void DRErase::setEraseType(std::string type) {
    std::lock_guard lock(mutex_);
    eraseType_ = std::move(type);
}

void DRErase::start() {
    if (!beginReporting()) {
        return;
    }
    auto recorder = device();
    if (!recorder) {
        reportFailure("No recorder was chosen for the erase.");
        return;
    }
    recorder->startErase(selfAs<DRErase>());
}

}  // namespace kilnware::platform
