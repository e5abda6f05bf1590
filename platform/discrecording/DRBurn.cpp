#include <kilnware/platform/discrecording/DRBurn.h>

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
