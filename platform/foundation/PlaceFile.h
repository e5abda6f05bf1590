#pragma once

#include <string>

namespace kilnware::platform {

// Renames `from` to `to` unless something stands at `to` (a finished image never replaces a
// file that appeared under its name meanwhile); 0, or an errno value (EEXIST when `to` is taken).
// Where the file system has no RENAME_NOREPLACE, a hard link refuses an existing name just the
// same; without hard links either (FAT and the like) a check right before the rename is the
// narrowest gap left.
int placeWithoutReplacing(const std::string& from, const std::string& to);
// The same with `from` and `to` in the folders open at `fromFolder` and `toFolder`.
int placeWithoutReplacing(int fromFolder, const std::string& from, int toFolder,
                          const std::string& to);

// Gives the file open at `fd` (an anonymous O_TMPFILE file, or one with names of its own) the
// name `name` in the folder open at `folder`, unless something stands there; 0, or an errno value
// (EEXIST when the name is taken). Nothing at the name is ever replaced or removed.
int linkWithoutReplacing(int fd, int folder, const std::string& name);

}  // namespace kilnware::platform
