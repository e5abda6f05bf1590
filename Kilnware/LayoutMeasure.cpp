// The size of a layout, and how it measures against a medium, in the units discs are sold in.
#include <kilnware/VXBurn.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include <kilnware/platform/discrecording/DRKeys.h>
#include <kilnware/platform/discrecording/DRMSF.h>

namespace kilnware {

using namespace platform;

namespace {

constexpr double kMegabyte = 1024.0 * 1024.0;  // as a CD's "700 MB" counts
constexpr double kGigabyte = 1e9;              // as a DVD's "4.7 GB" counts

struct MediumName {
    const char* type;
    const char* name;
};
constexpr MediumName kMediumNames[] = {
    {DRDeviceMediaTypeCDR, "CD-R"},
    {DRDeviceMediaTypeCDRW, "CD-RW"},
    {DRDeviceMediaTypeDVDR, "DVD-R"},
    {DRDeviceMediaTypeDVDRW, "DVD-RW"},
    {DRDeviceMediaTypeDVDRDualLayer, "DVD-R DL"},
    {DRDeviceMediaTypeDVDPlusR, "DVD+R"},
    {DRDeviceMediaTypeDVDPlusRW, "DVD+RW"},
    {DRDeviceMediaTypeDVDPlusRDoubleLayer, "DVD+R DL"},
    {DRDeviceMediaTypeDVDRAM, "DVD-RAM"},
    {DRDeviceMediaTypeBDR, "BD-R"},
    {DRDeviceMediaTypeBDRE, "BD-RE"},
};

// Bytes in megabytes below a gigabyte and in gigabytes (one decimal, none when it is 0) from
// there, rounded up for a layout and down for the room on a medium.
std::string bytesText(double bytes, bool roundUp) {
    const auto rounded = [roundUp](double value) {
        return roundUp ? std::ceil(value) : std::floor(value);
    };
    char text[64];
    if (bytes < kGigabyte) {
        std::snprintf(text, sizeof text, "%.0f MB", rounded(bytes / kMegabyte));
    } else {
        const double tenths = rounded(bytes / kGigabyte * 10);
        std::snprintf(text, sizeof text, std::fmod(tenths, 10) == 0 ? "%.0f GB" : "%.1f GB",
                      tenths / 10);
    }
    return text;
}

// A playing time of `sectors` (75 a second): seconds rounded up for a layout, down for the room.
std::string timeText(std::uint64_t sectors, bool roundUp) {
    const std::uint64_t seconds =
        sectors / DRMSF::kFramesPerSecond + (roundUp && sectors % DRMSF::kFramesPerSecond ? 1 : 0);
    return std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "") +
           std::to_string(seconds % 60);
}

}  // namespace

VXBurn::LayoutMeasure VXBurn::measureLayout(const Value& layout, const DRDevice* device) {
    LayoutMeasure measure;
    const auto tracks = DRBurn::tracksOfLayout(layout);
    measure.sectors = DRBurn::sectorsOfLayout(layout);
    measure.audio = !tracks.empty();
    for (const auto& track : tracks) {
        measure.audio = measure.audio && track->kind() == DRTrack::Kind::Audio;
    }
    const std::uint64_t blockBytes =
        measure.audio ? DRTrack::kAudioBlockSize : DRTrack::kDataBlockSize;
    measure.bytes = measure.sectors > std::numeric_limits<std::uint64_t>::max() / blockBytes
                        ? std::numeric_limits<std::uint64_t>::max()
                        : measure.sectors * blockBytes;
    measure.size = measure.audio ? timeText(measure.sectors, true)
                                 : bytesText(static_cast<double>(measure.bytes), true);
    std::optional<std::string> volume =
        tracks.size() == 1 ? tracks.front()->volumeName() : std::nullopt;
    measure.name = volume && !volume->empty() ? *volume
                   : measure.audio            ? "The audio CD"
                                              : "The disc";

    const Dictionary status = device ? device->status() : Dictionary();
    if (status[DRDeviceMediaStateKey].textValue() != DRDeviceMediaStateMediaPresent) {
        return measure;
    }
    const Value& media = status[DRDeviceMediaInfoKey];
    const std::string type = lookup(media, DRDeviceMediaTypeKey).textValue().value_or("");
    measure.medium = "disc";
    for (const MediumName& known : kMediumNames) {
        if (type == known.type) {
            measure.medium = known.name;
        }
    }
    measure.room = lookup(media, DRDeviceMediaBlocksFreeKey).uint64Value();
    measure.fits = measure.sectors <= measure.room;
    const bool cd = lookup(media, DRDeviceMediaClassKey).textValue() == DRDeviceMediaClassCD;
    if (measure.audio) {
        measure.roomText = timeText(measure.room, false);
    } else {
        measure.roomText =
            bytesText(static_cast<double>(measure.room) * DRTrack::kDataBlockSize, false);
        if (cd) {
            const auto minutes = static_cast<unsigned long long>(
                std::llround(static_cast<double>(measure.room) / DRMSF::kFramesPerMinute));
            measure.roomText += " (" + std::to_string(minutes) + " min)";
        }
    }
    if (!measure.fits) {
        measure.problem = measure.name + " does not fit: " + measure.size + ", the " +
                          *measure.medium + " holds " + measure.roomText + ".";
    }
    return measure;
}

}  // namespace kilnware
