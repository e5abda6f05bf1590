#include <kilnware/platform/discrecording/DRCDTextBlock.h>

namespace kilnware::platform {

std::shared_ptr<DRCDTextBlock> DRCDTextBlock::cdTextBlockWithLanguage(std::string language,
                                                                      std::uint32_t encoding) {
    return std::make_shared<DRCDTextBlock>(std::move(language), encoding);
}

void DRCDTextBlock::setObject(Value value, const std::string& key, std::uint32_t ofTrack) {
    std::lock_guard lock(mutex_);
    tracks_[ofTrack].set(key, std::move(value));
}

Value DRCDTextBlock::objectForKey(const std::string& key, std::uint32_t ofTrack) const {
    std::lock_guard lock(mutex_);
    auto track = tracks_.find(ofTrack);
    return track == tracks_.end() ? Value() : track->second[key];
}

std::map<std::uint32_t, Dictionary> DRCDTextBlock::tracks() const {
    std::lock_guard lock(mutex_);
    return tracks_;
}

}  // namespace kilnware::platform
