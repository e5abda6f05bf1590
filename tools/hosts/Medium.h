#pragma once

#include <optional>
#include <string>
#include <vector>

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
};

}  // namespace kilnware::hosts
