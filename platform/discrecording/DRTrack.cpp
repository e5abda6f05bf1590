#include <kilnware/platform/discrecording/DRTrack.h>

namespace kilnware::platform {

DRTrackReader::~DRTrackReader() = default;

Dictionary DRTrack::properties() const {
    std::lock_guard lock(mutex_);
    return properties_;
}

void DRTrack::setProperties(Dictionary properties) {
    std::lock_guard lock(mutex_);
    properties_ = std::move(properties);
}

}  // namespace kilnware::platform
