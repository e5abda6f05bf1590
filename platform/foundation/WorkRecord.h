#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform {

// Proof that the library made the items at a few work paths, kept in a record file beside the
// first of them (".NAME.kilnware-work" for a path DIR/NAME), so that this run after its burn, or a
// later run, removes them only while they are still exactly what the library made: same device,
// inode, owner, size and modification time, and for a folder the same content throughout. A name
// or a shape proves nothing.
//
// The record is locked while it is held: a second run that asks for it is refused, so that two
// runs never take each other's work. It is a plain file of this user, not readable by others; one
// that is not (another user's, a link, something else) is no record of ours.
class WorkRecord {
public:
    // Opens and locks the record for `anchor`, creating it if need be. None, with `error` saying
    // why, when another run holds it or what stands at its place is no record of ours.
    static std::unique_ptr<WorkRecord> open(const std::string& anchor, std::string& error);
    // Unlocks; removes the record file once it lists nothing.
    ~WorkRecord();
    WorkRecord(const WorkRecord&) = delete;
    WorkRecord& operator=(const WorkRecord&) = delete;

    // Whether the item at `path` is listed here and unchanged since.
    bool proves(const std::string& path) const;
    // Takes what stands at `path` now (not following a link there) as the library's work.
    bool remember(const std::string& path);
    void forget(const std::string& path);
    // Removes the item at `path` when proves(path), through descriptors, so that a link swapped
    // in meanwhile redirects nothing; then forgets it. True when it was removed.
    bool removeIfProven(const std::string& path);

    // Makes a folder at `path` (its parent must exist; nothing may stand there) and remembers it.
    bool makeFolder(const std::string& path, std::string& error);
    // Creates a file at `path` that nothing stood at, never following a link; remember it once
    // written.
    UniqueFd makeFile(const std::string& path, std::string& error);

    struct Entry {
        std::string path;  // the item's own path, or a path inside a folder item, relative to it
        char type = 'f';   // 'f' file, 'd' folder, 'o' anything else
        dev_t device = 0;
        ino_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t seconds = 0;
        long nanoseconds = 0;
    };
    struct Item {
        Entry self;
        std::vector<Entry> content;  // a folder's, in walking order
    };

private:
    WorkRecord(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
    bool load();
    void save();
    const Item* find(const std::string& path) const;

    std::string path_;
    UniqueFd fd_;
    std::vector<Item> items_;
};

}  // namespace kilnware::platform
