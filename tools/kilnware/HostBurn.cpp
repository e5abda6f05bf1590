#include "HostBurn.h"

#include "MediaPolicy.h"
#include "Speeds.h"

namespace kilnware::cli {

using namespace platform;

bool HostBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                           const std::shared_ptr<DRDevice>& device,
                                           std::optional<std::string>& promptString) {
    if (panel.kind() == DRSetupPanel::Kind::Erase) {
        if (hosts::widerPolicyTakes(device.get(), true)) {
            return true;
        }
        promptString = kErasablePrompt;
        return false;
    }
    if (!suitableType(panel, device, promptString)) {
        return false;
    }
    if (!device) {
        return true;
    }
    if (auto why = content_.refusal(*device)) {
        promptString = std::move(why);
        return false;
    }
    if (auto why = refusal(*device)) {
        promptString = *why;
        return false;
    }
    return true;
}

bool HostBurn::suitableType(DRSetupPanel& panel, const std::shared_ptr<DRDevice>& device,
                            std::optional<std::string>& promptString) {
    if (wishes_.audio) {
        return VXBurn::deviceContainsSuitableMedia(panel, device, promptString);
    }
    if (hosts::widerPolicyTakes(device.get(), false)) {
        return true;
    }
    promptString = kWritablePrompt;
    return false;
}

std::optional<std::string> HostBurn::refusal(const DRDevice& device) const {
    const bool imageRecorder = dynamic_cast<const ImageRecorder*>(&device) != nullptr;
    const Dictionary status = device.status();
    if (status[DRDeviceMediaStateKey].textValue() != DRDeviceMediaStateMediaPresent) {
        return std::nullopt;  // the media question tells of that
    }
    if (wishes_.simulate && imageRecorder) {
        return "The image recorder cannot simulate a burn: it writes an image or nothing. "
               "--dry-run shows what would be written.";
    }
    if (wishes_.speed) {
        if (auto why = speedRefusal(status, *wishes_.speed, device.displayName())) {
            return why;
        }
    }
    // Written over, a rewritable holds more than its free blocks (the hosts' ContentPolicy).
    const LayoutMeasure measure = measureLayout(pendingLayout(), &device);
    if (measure.problem && !content_.fitsWrittenOver(measure.sectors, device)) {
        return *measure.problem + (imageRecorder && !measure.audio ? largerMedium(measure) : "");
    }
    return std::nullopt;
}

std::string HostBurn::largerMedium(const LayoutMeasure& measure) {
    // The image recorder's larger blanks, with the blocks they hold.
    struct Larger {
        const char* name;
        const char* holds;
        std::uint64_t blocks;
    };
    constexpr Larger kLarger[] = {{"dvd-r", "4.7 GB", 2'298'496},
                                  {"dvd-r-dl", "8.5 GB", 4'171'712},
                                  {"bd-r", "25 GB", 12'219'392}};
    for (const Larger& larger : kLarger) {
        if (measure.sectors <= larger.blocks && measure.room < larger.blocks) {
            return std::string(" It fits a larger medium: --image-medium ") + larger.name + " (" +
                   larger.holds + ").";
        }
    }
    return " It is larger than any medium the image recorder holds.";
}

}  // namespace kilnware::cli
