#pragma once

#include <optional>
#include <string>
#include <vector>

#include <kilnware/VXDevice.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::hosts {

// What a recorder's status says of its medium (the DRDeviceMediaInfoKey dictionary), read once
// for the hosts' words: `kilnware info`, the recorders of the desktop program's window, and the
// setup panels' answers.
struct Medium {
    explicit Medium(const platform::Value& media);

    struct Track {
        std::uint64_t number, start, length;
        bool audio;
    };
    struct Session {
        std::uint64_t number, start, length;
        std::vector<Track> tracks;
    };

    std::string type;  // "CDR", "DVDPlusRW", "Unknown" (a pseudo-drive)...
    bool blank, appendable, overwritable, erasable;
    std::uint64_t blocksFree, blocksUsed, blocksOverwritable;
    std::vector<Session> sessions;
    std::optional<std::string> content, fileSystem, volumeName;

    // Whether it holds anything that writing over it would lose.
    bool holdsData() const;
    // What it holds, in words: "3 ISO 9660 sessions, the newest named "PHOTOS", 1.2 MB",
    // "an ext4 file system", "an audio CD of 12 tracks", "3.0 MB of data"; empty when blank.
    std::string holdings() const;
    // Whether the medium can only be written once (CD-R, DVD±R, BD-R).
    bool writeOnce() const;
    // Whether it is open and holds something, but its sessions cannot be read (libburn's file
    // that may only be written), so that no session can be added after them.
    bool sessionsUnreadable() const;
};

// All a medium holds and can still take, as the hosts show its capacity: on media written in
// place the room writing over it gives (the snapshot's total); elsewhere, where no block is written
// twice and that total is 0 once anything is written, what it holds and the room after it (as
// xorriso's "overall"; a closed disc has no room left).
struct Capacity {
    std::uint64_t blocks = 0;
    std::string size;  // "736.97 MB"
    std::string time;  // "79:57"
};
Capacity capacityOf(const VXDevice::Snapshot& snapshot);

}  // namespace kilnware::hosts
