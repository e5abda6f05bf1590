#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/Export.h>

namespace kilnware::platform {

// What a disc (or a disc image) holds, read back: the files of its newest session, and each
// session checked against the checksums written with it (libisofs' MD5 tags, which every data
// disc and MP3 CD of the library carries). An engine hands it out (DRDevice::contents); it reads on
// the calling thread, and the recorder stays busy until it goes.
class KILNWARE_EXPORT DRDiscContents {
public:
    virtual ~DRDiscContents();

    struct Entry {
        std::string name;
        bool folder = false;
        bool link = false;  // a symbolic link, to `target`
        std::string target;
        std::uint64_t size = 0;     // bytes
        std::int64_t modified = 0;  // seconds since the epoch
        std::uint32_t mode = 0;     // permission bits
        std::uint32_t owner = 0, group = 0;
    };
    // The entries of the folder at `path` of the newest session ("/" its root), by name; the
    // entry itself where `path` names a file. None, with `error`, where there is no such path or
    // the file system cannot be read.
    virtual std::optional<std::vector<Entry>> list(const std::string& path, std::string& error) = 0;

    struct Session {
        enum class State {
            Intact,
            Damaged,      // a block reads back otherwise than it was written, or not at all
            NoChecksums,  // written without checksums: by another program, or not a data session
        };
        std::uint32_t number = 0;
        std::uint64_t start = 0, length = 0;  // blocks of 2048 bytes
        State state = State::NoChecksums;
        // Damaged: where the first damage lies, [damagedFrom, damagedTo); whether that block
        // cannot be read at all; in which part of the session ("the volume descriptors", "the
        // directory tree", "the files' contents"); and the files whose contents it breaks, each
        // with its first block.
        std::uint64_t damagedFrom = 0, damagedTo = 0;
        bool unreadable = false;
        std::string part;
        std::vector<std::pair<std::string, std::uint64_t>> files;
    };
    // Reads every session back and checks it. `progress` hears the blocks read so far and the
    // blocks to read in all; false from it stops the check (none, with `error` saying so).
    virtual std::optional<std::vector<Session>> check(
        const std::function<bool(std::uint64_t done, std::uint64_t total)>& progress,
        std::string& error) = 0;
};

}  // namespace kilnware::platform
