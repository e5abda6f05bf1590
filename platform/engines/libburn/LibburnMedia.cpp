// The medium tables and the readings that need no drive: how each profile is shown, erased and
// described, and how udev names a drive's bus.

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>

#include <kilnware/platform/discrecording/DRKeys.h>

#include "platform/engines/libburn/LibburnParts.h"

namespace kilnware::platform::libburn {

namespace {

constexpr double kCD1x = 176'400;
constexpr double kDVD1x = 1'385'000;
constexpr double kBD1x = 4'495'625;

constexpr std::array<ProfileInfo, 21> kProfiles = {{
    {0x08, DRDeviceMediaTypeCDROM, DRDeviceMediaClassCD, kCD1x, false},
    {0x09, DRDeviceMediaTypeCDR, DRDeviceMediaClassCD, kCD1x, false},
    {0x0a, DRDeviceMediaTypeCDRW, DRDeviceMediaClassCD, kCD1x, false},
    {0x10, DRDeviceMediaTypeDVDROM, DRDeviceMediaClassDVD, kDVD1x, false},
    {0x11, DRDeviceMediaTypeDVDR, DRDeviceMediaClassDVD, kDVD1x, false},
    {0x12, DRDeviceMediaTypeDVDRAM, DRDeviceMediaClassDVD, kDVD1x, true},
    // DVD-RW formatted for restricted overwrite, and written sequentially
    {0x13, DRDeviceMediaTypeDVDRW, DRDeviceMediaClassDVD, kDVD1x, true},
    {0x14, DRDeviceMediaTypeDVDRW, DRDeviceMediaClassDVD, kDVD1x, false},
    // DVD-R DL written sequentially, and by layer jump
    {0x15, DRDeviceMediaTypeDVDRDualLayer, DRDeviceMediaClassDVD, kDVD1x, false},
    {0x16, DRDeviceMediaTypeDVDRDualLayer, DRDeviceMediaClassDVD, kDVD1x, false},
    {0x1a, DRDeviceMediaTypeDVDPlusRW, DRDeviceMediaClassDVD, kDVD1x, true},
    {0x1b, DRDeviceMediaTypeDVDPlusR, DRDeviceMediaClassDVD, kDVD1x, false},
    // DVD+RW DL: the engine has no type of its own for it
    {0x2a, DRDeviceMediaTypeDVDPlusRW, DRDeviceMediaClassDVD, kDVD1x, true},
    {0x2b, DRDeviceMediaTypeDVDPlusRDoubleLayer, DRDeviceMediaClassDVD, kDVD1x, false},
    {0x40, DRDeviceMediaTypeBDROM, DRDeviceMediaClassBD, kBD1x, false},
    // BD-R in sequential and in random recording mode
    {0x41, DRDeviceMediaTypeBDR, DRDeviceMediaClassBD, kBD1x, false},
    {0x42, DRDeviceMediaTypeBDR, DRDeviceMediaClassBD, kBD1x, false},
    {0x43, DRDeviceMediaTypeBDRE, DRDeviceMediaClassBD, kBD1x, true},
    // A file: libburn writes it like an overwritable DVD.
    {kStdioProfile, DRDeviceMediaTypeUnknown, DRDeviceMediaClassUnknown, kDVD1x, true},
    {0x00, DRDeviceMediaTypeUnknown, DRDeviceMediaClassUnknown, kDVD1x, false},
    {-1, DRDeviceMediaTypeUnknown, DRDeviceMediaClassUnknown, kDVD1x, false},
}};

struct UdevFree {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};

}  // namespace

const ProfileInfo& profileInfo(int profile) {
    for (const ProfileInfo& row : kProfiles) {
        if (row.profile == profile) {
            return row;
        }
    }
    return kProfiles.back();
}

EraseMethod eraseMethod(int profile, bool complete) {
    switch (profile) {
        case 0x0a:  // CD-RW
        case 0x13:  // DVD-RW: blanking leaves it sequential; fast blanking, for one write at once
        case 0x14:
            return complete ? EraseMethod::BlankFull : EraseMethod::BlankFast;
        case 0x12:  // DVD-RAM, DVD+RW, BD-RE: written over in place; formatting starts them anew
        case 0x1a:
        case 0x2a:
        case 0x43:
            return complete ? EraseMethod::Format : EraseMethod::None;
        default:
            return EraseMethod::None;
    }
}

DRMediaInfo describeMedium(const MediumReading& reading) {
    const ProfileInfo& row = profileInfo(reading.profile);
    const bool file = reading.role != 1;
    // Only a file open for reading and writing is written over in place; a stream is not.
    const bool overwritable = row.overwritable && (!file || reading.role == 2);
    // libisoburn passes a sequential medium's state through; on overwritable media and files it
    // tells sessions (appendable) and anything else (full) from nothing (blank).
    const auto state =
        reading.sessionState == burn::BURN_DISC_UNREADY ? reading.state : reading.sessionState;
    const bool closed = state != burn::BURN_DISC_BLANK && state != burn::BURN_DISC_APPENDABLE;
    std::uint64_t free =
        reading.availableBytes > 0 ? static_cast<std::uint64_t>(reading.availableBytes) / 2048 : 0;
    if (closed && !overwritable) {
        free = 0;
    } else if (state == burn::BURN_DISC_APPENDABLE && reading.appendableBytes >= 0) {
        free =
            static_cast<std::uint64_t>(reading.appendableBytes) / 2048;  // after the last session
    }
    // A blank sequential medium holds nothing, and an overwritable disc says blank unless
    // libisoburn finds something on it. A file holds what can be read back from it.
    std::uint64_t used = 0;
    if (reading.readCapacity > 0 &&
        (reading.role == 2 || (!overwritable && reading.state != burn::BURN_DISC_BLANK))) {
        used = static_cast<std::uint64_t>(reading.readCapacity);
    }
    for (const DRMediaSession& session : reading.sessions) {
        used = std::max(used, session.start + session.length);
    }
    DRMediaInfo media;
    media.type = row.type;
    media.mediaClass = row.mediaClass;
    media.blocksFree = free;
    media.blocksUsed = used;
    // A file's free space already counts what it holds.
    media.blocksOverwritable = !overwritable ? 0 : file ? free : free + used;
    media.sessions = reading.sessions;
    const bool audio = std::any_of(
        reading.sessions.begin(), reading.sessions.end(), [](const DRMediaSession& session) {
            return std::any_of(session.tracks.begin(), session.tracks.end(),
                               [](const DRMediaTrack& track) { return track.audio; });
        });
    if (audio) {
        media.content = DRDeviceMediaContentAudio;
    } else if (reading.iso9660) {
        media.content = DRDeviceMediaContentISO9660;
        media.fileSystem = "ISO 9660";
        media.volumeName = reading.volumeName;
    } else if (reading.fileSystem) {
        media.content = DRDeviceMediaContentFileSystem;
        media.fileSystem = reading.fileSystem;
    } else if (!reading.sessions.empty() || state == burn::BURN_DISC_FULL ||
               state == burn::BURN_DISC_APPENDABLE) {
        media.content = DRDeviceMediaContentData;
    }
    // Where libisoburn looked, as xorriso does, a medium whose first 64 KiB hold nothing is blank
    // whatever its length (a file of zeros).
    media.blank = !media.content && state == burn::BURN_DISC_BLANK &&
                  (used == 0 || reading.sessionState != burn::BURN_DISC_UNREADY);
    media.appendable = !closed;
    media.overwritable = overwritable;
    media.erasable = !file && eraseMethod(reading.profile, true) != EraseMethod::None;
    return media;
}

bool sessionsUnreadable(const DRMediaInfo& medium) {
    return !medium.blank && medium.appendable && !medium.overwritable && medium.sessions.empty();
}

std::string interconnectForBus(const char* idBus) {
    if (!idBus || !*idBus) {
        return "Unknown";
    }
    const std::string bus = idBus;
    static constexpr std::pair<const char*, const char*> kNames[] = {
        {"usb", "USB"},   {"ata", "ATA"},           {"scsi", "SCSI"},
        {"sata", "SATA"}, {"ieee1394", "FireWire"}, {"firewire", "FireWire"}};
    for (const auto& [name, shown] : kNames) {
        if (bus == name) {
            return shown;
        }
    }
    return bus;
}

std::string interconnectOfDevice(const std::string& devicePath) {
    std::unique_ptr<udev, UdevFree> context(udev_new());
    if (!context) {
        return interconnectForBus(nullptr);
    }
    std::unique_ptr<udev_device, UdevFree> device;
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        device.reset(udev_device_new_from_devnum(context.get(), 'b', st.st_rdev));
    }
    if (!device) {
        const std::string sysname = std::filesystem::path(devicePath).filename().string();
        device.reset(
            udev_device_new_from_subsystem_sysname(context.get(), "block", sysname.c_str()));
    }
    return interconnectForBus(device ? udev_device_get_property_value(device.get(), "ID_BUS")
                                     : nullptr);
}

}  // namespace kilnware::platform::libburn
