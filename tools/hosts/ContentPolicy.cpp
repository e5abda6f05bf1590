#include "ContentPolicy.h"

#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DRMediaInfo.h>
#include <kilnware/platform/foundation/Log.h>

namespace kilnware::hosts {

using namespace platform;

bool ContentPolicy::pseudoDrive(const DRDevice& device) {
    const Dictionary info = device.info();
    const std::string* connection = info[DRDevicePhysicalInterconnectKey].text();
    return connection && *connection == "Pseudo-drive";
}

Medium ContentPolicy::mediumIn(const DRDevice& device) {
    return Medium(device.status()[DRDeviceMediaInfoKey]);
}

std::string ContentPolicy::called(const Medium& medium, const DRDevice& device) {
    return pseudoDrive(device) ? device.displayName()
                               : "The " + medium.type + " in " + device.displayName();
}

bool ContentPolicy::continuable(const Medium& medium) {
    return medium.appendable &&
           (!medium.holdsData() ||
            medium.content == std::optional<std::string>(DRDeviceMediaContentISO9660));
}

void ContentPolicy::setRequest(const MediaRequest& request) {
    request_ = request;
    overwrite_.clear();
    append_.clear();
}

bool ContentPolicy::overwriteAllowed(const DRDevice& device) const {
    return request_.overwrite || overwrite_.count(device.displayName()) > 0;
}

bool ContentPolicy::appending(const DRDevice& device) const {
    return request_.append || append_.count(device.displayName()) > 0;
}

void ContentPolicy::allowOverwrite(const DRDevice& device) {
    append_.erase(device.displayName());
    overwrite_.insert(device.displayName());
}

void ContentPolicy::allowAppend(const DRDevice& device) {
    overwrite_.erase(device.displayName());
    append_.insert(device.displayName());
}

std::optional<std::string> ContentPolicy::refusal(const DRDevice& device) const {
    const Medium medium = mediumIn(device);
    const std::string holds = called(medium, device) + " holds " + medium.holdings();
    if (appending(device)) {
        if (continuable(medium)) {
            return std::nullopt;
        }
        std::string why = !medium.appendable && !medium.overwritable
                              ? ", and it is closed: no session can be added to it."
                          : medium.sessionsUnreadable()
                              ? ": " + std::string(kSessionsUnreadable) + "."
                              : ": a session can be added only to ISO 9660 sessions.";
        if (rewritable(medium)) {
            why += " Write over it with --overwrite instead.";
        }
        return holds + why;
    }
    if (!medium.holdsData()) {
        return std::nullopt;
    }
    if (rewritable(medium) && overwriteAllowed(device)) {
        return std::nullopt;
    }
    std::string options;
    if (continuable(medium) && request_.sessions) {
        options = " Add a session to it with --append";
        options += rewritable(medium) ? ", or write over it with --overwrite." : ".";
    } else if (rewritable(medium)) {
        options = " Write over it with --overwrite.";
    }
    if (!rewritable(medium)) {
        const std::string once = medium.writeOnce() ? "a " + medium.type : "it";
        return holds + (medium.appendable ? "; " + once + " cannot be written over." + options
                                          : ", and it is closed: insert a blank disc.");
    }
    return holds + "." + options;
}

std::optional<std::string> ContentPolicy::overwriteQuestion(const DRDevice& device) const {
    const Medium medium = mediumIn(device);
    if (appending(device) || !medium.holdsData() || overwriteAllowed(device) ||
        !rewritable(medium)) {
        return std::nullopt;
    }
    return called(medium, device) + " holds " + medium.holdings() +
           ". Write over it, losing what it holds?";
}

bool ContentPolicy::fitsWrittenOver(std::uint64_t sectors, const DRDevice& device) const {
    const Medium medium = mediumIn(device);
    return overwriteAllowed(device) && !appending(device) && medium.holdsData() &&
           (medium.blocksOverwritable == 0 || sectors <= medium.blocksOverwritable);
}

void ContentPolicy::applyTo(DRBurn& burn, const DRDevice& device) const {
    // Media written in place keep no mark that they are closed (neither libisoburn nor xorriso
    // makes one): the person learns that more sessions can still be added.
    if (request_.close && mediumIn(device).overwritable) {
        Log::warning(called(mediumIn(device), device) +
                     " is written in place and cannot be closed: sessions can still be added "
                     "to it.");
    }
    const bool append = appending(device);
    Dictionary properties = burn.properties();
    properties.set(DRBurnOverwriteDiscKey,
                   overwriteAllowed(device) && !append && mediumIn(device).holdsData());
    properties.set(DRBurnAppendKey, append);
    properties.set(DRBurnReplaceFilesKey, request_.replace);
    properties.set(DRBurnAppendableKey, request_.sessions && !request_.close);
    burn.setProperties(std::move(properties));
}

}  // namespace kilnware::hosts
