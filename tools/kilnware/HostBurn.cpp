#include "HostBurn.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <string_view>

#include <kilnware/platform/discrecording/DRKeys.h>

#include "Medium.h"

namespace kilnware::cli {

using namespace platform;

namespace {

constexpr std::string_view kWritable[] = {
    DRDeviceMediaTypeCDR,           DRDeviceMediaTypeCDRW,
    DRDeviceMediaTypeDVDR,          DRDeviceMediaTypeDVDRW,
    DRDeviceMediaTypeDVDRDualLayer, DRDeviceMediaTypeDVDPlusR,
    DRDeviceMediaTypeDVDPlusRW,     DRDeviceMediaTypeDVDPlusRDoubleLayer,
    DRDeviceMediaTypeDVDRAM,        DRDeviceMediaTypeBDR,
    DRDeviceMediaTypeBDRE,
};

constexpr std::string_view kErasable[] = {
    DRDeviceMediaTypeCDRW,   DRDeviceMediaTypeDVDRW, DRDeviceMediaTypeDVDPlusRW,
    DRDeviceMediaTypeDVDRAM, DRDeviceMediaTypeBDRE,
};

template <std::size_t N>
bool listed(const std::string* type, const std::string_view (&types)[N]) {
    return type && std::find(std::begin(types), std::end(types), *type) != std::end(types);
}

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

void addMediaOptions(CLI::App& command, MediaRequest& request, bool sessions) {
    command.add_flag("--overwrite", request.overwrite,
                     "Write over what the medium holds (a rewritable disc is blanked first)");
    if (!sessions) {
        return;
    }
    command.add_flag("--append", request.append,
                     "Add a session to the disc: its files join those of the earlier sessions");
    command.add_flag("--replace", request.replace,
                     "With --append, replace a file or folder of the same name");
    command.add_flag("--close", request.close, "Close the disc: no session can be added after");
}

std::optional<std::string> HostBurn::contentRefusal(const Medium& medium,
                                                    const DRDevice& device) const {
    const std::string disc = called(medium, device);
    const std::string holds = disc + " holds " + medium.holdings();
    if (request_.append) {
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
    if (continuable(medium) && request_.sessions) {
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
    return request_.overwrite || allowed_.count(device.displayName()) > 0;
}

std::optional<std::string> HostBurn::overwriteQuestion(const DRDevice& device) const {
    const Medium medium = mediumIn(device);
    if (request_.append || !medium.holdsData() || overwriteAllowed(device) ||
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
    Dictionary properties = burn.properties();
    properties.set(DRBurnOverwriteDiscKey,
                   overwriteAllowed(device) && !request_.append && mediumIn(device).holdsData());
    properties.set(DRBurnAppendKey, request_.append);
    properties.set(DRBurnReplaceFilesKey, request_.replace);
    properties.set(DRBurnAppendableKey, request_.sessions && !request_.close);
    burn.setProperties(std::move(properties));
}

bool HostBurn::deviceContainsSuitableMedia(DRSetupPanel& panel,
                                           const std::shared_ptr<DRDevice>& device,
                                           std::optional<std::string>& promptString) {
    const bool erase = panel.kind() == DRSetupPanel::Kind::Erase;
    if (audio_ && !erase) {
        if (!VXBurn::deviceContainsSuitableMedia(panel, device, promptString)) {
            return false;
        }
    } else {
        const Dictionary status = device ? device->status() : Dictionary();
        const std::string* type = lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaTypeKey).text();
        // A libburn pseudo-drive over a file has no medium type: it takes data and images.
        const bool suitable = erase ? listed(type, kErasable)
                                    : listed(type, kWritable) || (device && pseudoDrive(*device));
        if (!suitable) {
            promptString = erase ? kErasablePrompt : kWritablePrompt;
            return false;
        }
    }
    if (erase || !device) {
        return true;
    }
    if (auto refusal = contentRefusal(mediumIn(*device), *device)) {
        promptString = std::move(refusal);
        return false;
    }
    return true;
}

}  // namespace kilnware::cli
