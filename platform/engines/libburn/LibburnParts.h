#pragma once

// The pieces the libburn recorder is built from: libburn's objects with owners, the grabbed drive,
// the medium tables and the drive's readings. Internal to the engine (and its tests).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// libburn.h declares its names in namespace burn when compiled as C++.
#include <libburn/libburn.h>

#include <kilnware/platform/discrecording/DRMediaInfo.h>

#include "platform/media/DiscReading.h"

namespace kilnware::platform::libburn {

using burn::burn_disc;
using burn::burn_disc_status;
using burn::burn_drive;
using burn::burn_drive_info;
using burn::burn_session;
using burn::burn_source;
using burn::burn_track;
using burn::burn_write_opts;

// Owners for the libburn objects a burn builds. libburn counts references itself: a track added to
// a session (a source set on a track) is kept by it, so each owner only drops its own reference.
struct LibburnFree {
    void operator()(burn_disc* disc) const { burn::burn_disc_free(disc); }
    void operator()(burn_session* session) const { burn::burn_session_free(session); }
    void operator()(burn_track* track) const { burn::burn_track_free(track); }
    void operator()(burn_write_opts* opts) const { burn::burn_write_opts_free(opts); }
    void operator()(burn_source* source) const { burn::burn_source_free(source); }
};
using DiscPtr = std::unique_ptr<burn_disc, LibburnFree>;
using SessionPtr = std::unique_ptr<burn_session, LibburnFree>;
using TrackPtr = std::unique_ptr<burn_track, LibburnFree>;
using WriteOptsPtr = std::unique_ptr<burn_write_opts, LibburnFree>;
using SourcePtr = std::unique_ptr<burn_source, LibburnFree>;

// The last failure libburn queued, or `fallback`; empties the queue.
std::string lastMessage(const std::string& fallback);

// A drive held for this process through libisoburn, which sees the sessions it (and xorriso)
// lays out on overwritable media; released (and the tray opened, when asked) when it goes.
class Drive {
public:
    // The drive at `address`, or null when libburn cannot grab it. `load` closes the tray. A file
    // that libisoburn writes a session into is cut where the session begins.
    static std::unique_ptr<Drive> grab(const std::string& address, bool load);
    explicit Drive(burn_drive_info* infos) : infos_(infos) {}
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;
    ~Drive();

    burn_drive* get() const;
    const burn_drive_info& info() const { return infos_[0]; }
    // 1 a real drive, 2 to 5 kinds of stdio: pseudo-drive (burn_drive_get_drive_role).
    int role() const;
    int profile() const;
    std::string profileName() const;
    void ejectOnRelease() { eject_ = true; }
    // Waits while libburn starts the drive's work thread.
    void waitWhileSpawning() const;

private:
    burn_drive_info* infos_;
    bool eject_ = false;
};

// How each MMC profile (burn_disc_get_profile) is shown and handled.
struct ProfileInfo {
    int profile;
    const char* type;        // DRDeviceMediaType...
    const char* mediaClass;  // DRDeviceMediaClass...
    double speed1x;          // bytes a second at 1x
    bool overwritable;       // written over in place (random access)
};
// The row of `profile`; an unknown profile gets the "unknown" row.
const ProfileInfo& profileInfo(int profile);
// libburn's profile for a stdio: pseudo-drive.
inline constexpr int kStdioProfile = 0xffff;

// What an erase does to a medium.
enum class EraseMethod {
    None,       // cannot be erased
    BlankFast,  // burn_disc_erase, fast: the table of contents goes
    BlankFull,  // burn_disc_erase, full: every block is blanked
    Format,     // burn_disc_format: overwritable media are formatted anew
};
EraseMethod eraseMethod(int profile, bool complete);

// What libburn and libisoburn said of a medium, for describeMedium.
struct MediumReading {
    burn_disc_status state = burn::BURN_DISC_UNREADY;
    int profile = 0;
    int role = 1;
    std::int64_t availableBytes = 0;  // burn_disc_available_space
    std::int64_t readCapacity = -1;   // burn_get_read_capacity in blocks; -1 unknown
    // libisoburn's state: on overwritable media and files, appendable with ISO 9660 sessions,
    // blank when the first blocks hold nothing, full when they hold anything else. Unready: as
    // libburn's.
    burn_disc_status sessionState = burn::BURN_DISC_UNREADY;
    std::int64_t appendableBytes = -1;  // isoburn_disc_available_space: after the last session
    std::vector<DRMediaSession> sessions = {};  // emulated on overwritable media and files
    bool iso9660 = false;                       // the newest session holds an ISO 9660 file system
    std::optional<std::string> volumeName = {};
    std::optional<std::string> fileSystem = {};  // what the first blocks hold, where no session is
};
MediumReading readMedium(const Drive& drive);
// The medium as the engine shows it.
DRMediaInfo describeMedium(const MediumReading& reading);
// A medium written in sequence that is open and holds something, but whose sessions libisoburn
// cannot read (a file that may only be written): nothing of it can be read back, and no session
// laid out after them (kSessionsUnreadable).
bool sessionsUnreadable(const DRMediaInfo& medium);

// The sessions and tracks of the medium in `drive`, and whether the newest holds ISO 9660 (and
// its volume name).
void readSessions(const Drive& drive, MediumReading& reading);
// The file system whose marks the first bytes of a medium show (up to 68 KiB: ext4, FAT, NTFS,
// XFS, Btrfs, UDF, ISO 9660, LUKS, a partition table...), or none.
std::optional<std::string> fileSystemOf(const unsigned char* head, std::size_t size);
// The first 68 KiB of the medium (fewer when it holds fewer), for fileSystemOf.
std::vector<unsigned char> readHead(const Drive& drive);
// Reads blocks of the medium in `drive` (burn_read_data, quietly: a block that cannot be read is
// an answer, not an error message), for the session checks and listings.
media::BlockReader blockReader(burn_drive* drive);

// The write speeds the drive offers for its medium, in kilobytes (1000 bytes) a second, fastest
// first; empty when it names none (a pseudo-drive).
std::vector<std::uint64_t> writeSpeeds(const Drive& drive);

// Why the medium cannot simulate a burn; empty when it can.
std::string simulationRefusal(const Drive& drive);

// The interconnect for udev's ID_BUS value ("usb", "ata", "scsi"...); "Unknown" for none.
std::string interconnectForBus(const char* idBus);
// The interconnect of the block device `devicePath` ("/dev/sr0") as udev knows it; "Unknown" when
// udev cannot say.
std::string interconnectOfDevice(const std::string& devicePath);

}  // namespace kilnware::platform::libburn
