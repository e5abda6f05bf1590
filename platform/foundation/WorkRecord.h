#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform {

class FileManager;

// Proof that the library made the items at a few work paths in one folder, kept in a record file
// there (".NAME.kilnware-work" for the first of them, DIR/NAME), so that this run after its burn,
// or a later run, removes them only while they are still exactly what the library made: same
// device, inode, owner, size and modification time, and for a folder the same content throughout.
// A name or a shape proves nothing.
//
// The folder is opened once, with the record, and never through a link put at its path later:
// the record is saved, and every item looked at, made and removed, through that descriptor for as
// long as the record is held. A folder swapped in at the path meanwhile (by whoever may write to
// the folder above) is never reached.
//
// The record is locked while it is held: a second run that asks for it is refused, so that two
// runs never take each other's work. It is a plain file of this user with exactly one name, not
// readable by others; anything else at its place is no record of ours. Each save writes a new
// file that then takes the record's name, so that a save that fails leaves the last record whole.
class WorkRecord {
public:
    // Opens and locks the record for `anchor`, creating it if need be. None, with `error` saying
    // why, when another run holds it, the folder cannot be opened, or what stands at the record's
    // place is no record of ours.
    static std::unique_ptr<WorkRecord> open(const std::string& anchor, std::string& error);
    // Unlocks; removes the record file once it lists nothing.
    ~WorkRecord();
    WorkRecord(const WorkRecord&) = delete;
    WorkRecord& operator=(const WorkRecord&) = delete;

    // Whether the item at `path` is listed here and unchanged since.
    bool proves(const std::string& path) const;
    // Takes what stands at `path` now (not following a link there) as the library's work and saves
    // the record. False, with `error` saying why, when nothing of this user's stands there or the
    // record cannot be saved.
    bool remember(const std::string& path, std::string& error);
    bool forget(const std::string& path, std::string& error);
    // Has `fileManager` remove the item at `path` (FileManager::removeProvenItem) when
    // proves(path), then forgets it. False, with `error` saying why, when it was not proven, the
    // file manager did not remove it, or the record could not be saved.
    bool removeIfProven(const std::string& path, const FileManager& fileManager,
                        std::string& error);

    // Makes a folder at `path` (nothing may stand there) and remembers it.
    bool makeFolder(const std::string& path, std::string& error);
    // Writes `text` into a new file at `path` that nothing stood at, flushed to disk, and
    // remembers it.
    bool makeFile(const std::string& path, std::string_view text, std::string& error);

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
    WorkRecord(std::string folderPath, UniqueFd folder, std::string name, UniqueFd fd)
        : folderPath_(std::move(folderPath)),
          folder_(std::move(folder)),
          name_(std::move(name)),
          fd_(std::move(fd)) {}
    // The name of `path` in the record's folder; none for a path anywhere else.
    std::optional<std::string> nameOf(const std::string& path) const;
    bool remember(const std::string& path, const struct stat* made, std::string& error);
    bool load();
    bool save(std::string& error);
    const Item* find(const std::string& path) const;

    std::string folderPath_;
    UniqueFd folder_;
    std::string name_;  // the record file's, in the folder
    UniqueFd fd_;
    std::vector<Item> items_;
};

}  // namespace kilnware::platform
