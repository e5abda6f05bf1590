#include "Speeds.h"

#include <algorithm>
#include <cstdio>

#include <kilnware/platform/discrecording/DRKeys.h>

namespace kilnware::cli {

using namespace platform;

namespace {
std::string mediaClass(const Dictionary& status) {
    return lookup(status[DRDeviceMediaInfoKey], DRDeviceMediaClassKey).textValue().value_or("");
}
}  // namespace

double kilobytesPer1x(const Dictionary& status) {
    const std::string medium = mediaClass(status);
    return medium == DRDeviceMediaClassBD    ? 4495.625
           : medium == DRDeviceMediaClassDVD ? 1385.0
                                             : 176.4;
}

std::vector<double> offeredSpeeds(const Dictionary& status) {
    std::vector<double> speeds;
    const double oneX = kilobytesPer1x(status);
    if (const List* offered = status[DRDeviceBurnSpeedsKey].list()) {
        for (const Value& kilobytes : *offered) {
            if (kilobytes.doubleValue() > 0) {
                speeds.push_back(kilobytes.doubleValue() / oneX);
            }
        }
    }
    if (speeds.empty()) {
        const std::string medium = mediaClass(status);
        speeds = {1, medium == DRDeviceMediaClassBD    ? 16.0
                     : medium == DRDeviceMediaClassDVD ? 24.0
                                                       : 52.0};
    }
    std::sort(speeds.begin(), speeds.end());
    return speeds;
}

namespace {
std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}
}  // namespace

std::string speedText(double multiple) {
    return number(multiple) + "x";
}

std::optional<std::string> speedRefusal(const Dictionary& status, double speed,
                                        const std::string& recorder) {
    const auto speeds = offeredSpeeds(status);
    // Drives round what they offer (176 kB/s for a CD's 176.4): a few per cent either way is the
    // same speed.
    if (speed >= speeds.front() * 0.95 && speed <= speeds.back() * 1.05) {
        return std::nullopt;
    }
    return recorder + " writes this medium at " + speedText(speeds.front()) + " to " +
           speedText(speeds.back()) + ": --speed " + number(speed) + " is " +
           (speed < speeds.front() ? "slower" : "faster") + " than that.";
}

}  // namespace kilnware::cli
