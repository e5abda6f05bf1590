#include "HostBurn.h"

#include "MediaPolicy.h"
#include "Medium.h"
#include "Speeds.h"

#include <kilnware/platform/foundation/Log.h>

namespace kilnware::cli {

using namespace platform;

namespace {

bool pseudoDrive(const DRDevice& device) {
    const Dictionary info = device.info();
    const std::string* connection = info[DRDevicePhysicalInterconnectKey].text();
    return connection && *connection == "Pseudo-drive";
}

Medium mediumIn(const DRDevice& device) {
    return Medium(device.status()[DRDeviceMediaInfoKey]);
}

// What a medium that holds data is called in a sentence.
std::string called(const Medium& medium, const DRDevice& device) {
    return pseudoDrive(device) ? device.displayName()
                               : "The " + medium.type + " in " + device.displayName();
}

// A session can be added after what the medium holds.
bool continuable(const Medium& medium) {
    return medium.appendable &&
           (!medium.holdsData() ||
            medium.content == std::optional<std::string>(DRDeviceMediaContentISO9660));
}

}  // namespace

std::optional<std::string> HostBurn::contentRefusal(const Medium& medium,
                                                    const DRDevice& device) const {
    const std::string disc = called(medium, device);
    const std::string holds = disc + " holds " + medium.holdings();
    if (wishes_.media.append) {
        if (continuable(medium)) {
            return std::nullopt;
        }
        std::string why = !medium.appendable && !medium.overwritable
                              ? ", and it is closed: no session can be added to it."
                              : ": a session can be added only to ISO 9660 sessions.";
        if (medium.overwritable || medium.erasable) {
            why += " Write over it with --overwrite instead.";
        }
        return holds + why;
    }
    if (!medium.holdsData()) {
        return std::nullopt;
    }
    const bool rewritable = medium.overwritable || medium.erasable;
    if (rewritable && overwriteAllowed(device)) {
        return std::nullopt;
    }
    std::string options;
    if (continuable(medium) && wishes_.media.sessions) {
        options = " Add a session to it with --append";
        options += rewritable ? ", or write over it with --overwrite." : ".";
    } else if (rewritable) {
        options = " Write over it with --overwrite.";
    }
    if (!rewritable) {
        const std::string once = medium.writeOnce() ? "a " + medium.type : "it";
        return holds + (medium.appendable ? "; " + once + " cannot be written over." + options
                                          : ", and it is closed: insert a blank disc.");
    }
    return holds + "." + options;
}

bool HostBurn::overwriteAllowed(const DRDevice& device) const {
    return wishes_.media.overwrite || allowed_.count(device.displayName()) > 0;
}

std::optional<std::string> HostBurn::overwriteQuestion(const DRDevice& device) const {
    const Medium medium = mediumIn(device);
    if (wishes_.media.append || !medium.holdsData() || overwriteAllowed(device) ||
        !(medium.overwritable || medium.erasable)) {
        return std::nullopt;
    }
    return called(medium, device) + " holds " + medium.holdings() +
           ". Write over it, losing what it holds?";
}

void HostBurn::allowOverwrite(const DRDevice& device) {
    allowed_.insert(device.displayName());
}

void HostBurn::applyRequest(DRBurn& burn, const DRDevice& device) const {
    // Media written in place keep no mark that they are closed (neither libisoburn nor xorriso
    // makes one): the person learns that more sessions can still be added.
    if (wishes_.media.close && mediumIn(device).overwritable) {
        Log::warning(called(mediumIn(device), device) +
                     " is written in place and cannot be closed: sessions can still be added "
                     "to it.");
    }
    Dictionary properties = burn.properties();
    properties.set(DRBurnOverwriteDiscKey, overwriteAllowed(device) && !wishes_.media.append &&
                                               mediumIn(device).holdsData());
    properties.set(DRBurnAppendKey, wishes_.media.append);
    properties.set(DRBurnReplaceFilesKey, wishes_.media.replace);
    properties.set(DRBurnAppendableKey, wishes_.media.sessions && !wishes_.media.close);
    burn.setProperties(std::move(properties));
}

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
    if (auto why = contentRefusal(mediumIn(*device), *device)) {
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
    // Written over, a rewritable holds what blanking leaves, which its free blocks (none on a
    // full CD-RW, those after the last session on a DVD+RW) do not tell: the engine finds out.
    const Medium medium = mediumIn(device);
    const bool writtenOver =
        !wishes_.media.append && medium.holdsData() && overwriteAllowed(device);
    const LayoutMeasure measure = measureLayout(pendingLayout(), &device);
    if (measure.problem && !writtenOver) {
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
