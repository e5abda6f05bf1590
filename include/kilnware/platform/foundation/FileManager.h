#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>
#include <kilnware/platform/foundation/Value.h>

namespace kilnware::platform {

// Attribute keys of `attributesOfItemAtPath`.
inline constexpr const char* NSFileSize = "NSFileSize";  // unsigned 64-bit byte count
inline constexpr const char* NSFileType = "NSFileType";  // one of the type texts below
inline constexpr const char* NSFileModificationDate = "NSFileModificationDate";  // seconds, double
inline constexpr const char* NSFilePosixPermissions = "NSFilePosixPermissions";  // unsigned
inline constexpr const char* NSFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* NSFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* NSFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* NSFileTypeUnknown = "NSFileTypeUnknown";

// File-system operations with the platform's semantics. Failures come back as a false or empty
// answer, with the system's reason in `error` when the caller asks for it; nothing throws.
class KILNWARE_EXPORT FileManager : public Object {
public:
    static std::shared_ptr<FileManager> defaultManager();

    // Whether anything stands at `path`, following symbolic links (a dangling link is nothing).
    bool fileExistsAtPath(const std::string& path) const;
    // The same, and whether what stands there is a directory (after following links).
    bool fileExistsAtPath(const std::string& path, bool* isDirectory) const;

    // Removes the file, link or directory at `path`, a directory with everything in it. A link is
    // removed, never what it points to. Virtual so that a host or a test can watch removals.
    virtual bool removeItemAtPath(const std::string& path, std::string* error = nullptr) const;

    // An item the library made and proved to be its own, unchanged work (a record of it names
    // the device and inode it was made with). It is reached through `folder`, a descriptor of the
    // folder that holds it, opened when the work began and never through a link, by its `name`
    // there; `path` is where the item stands, for showing or moving it.
    struct ProvenItem {
        std::string path;
        int folder = -1;
        std::string name;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };
    // Removes a proven item: a file, or a directory with everything in it. This one goes only
    // through `item.folder`, never by `item.path`: it removes the item while its name there still
    // holds that same item, and descends without following a link, so that a folder or link put
    // in the path's place meanwhile reaches nothing else. A host's file manager may do otherwise
    // (move the item to the trash) or refuse (false); the item then stays.
    virtual bool removeProvenItem(const ProvenItem& item, std::string* error = nullptr) const;

    // Creates a directory. Without intermediate directories only the last component is made and
    // its parent must exist; an existing item at `path` is a failure.
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                               const Dictionary* attributes = nullptr,
                               std::string* error = nullptr) const;

    // The item's attributes (the keys above); `traverseLink` reads what a link points to.
    std::optional<Dictionary> attributesOfItemAtPath(const std::string& path, bool traverseLink,
                                                     std::string* error = nullptr) const;

    // Writes `text` at `path`. Atomically: through a temporary file and a rename; otherwise
    // straight into the file at `path`.
    bool writeString(const std::string& text, const std::string& path, bool atomically,
                     std::string* error = nullptr) const;
};

}  // namespace kilnware::platform
