#pragma once

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
