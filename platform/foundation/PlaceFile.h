#pragma once

#include <string>

namespace kilnware::platform {

// Renames `from` to `to` unless something stands at `to` (a finished image never replaces a
// file that appeared under its name meanwhile); 0, or an errno value (EEXIST when `to` is taken).
// Where the file system has no RENAME_NOREPLACE, a hard link refuses an existing name just the
// same; without hard links either (FAT and the like) a check right before the rename is the
// narrowest gap left.
int placeWithoutReplacing(const std::string& from, const std::string& to);

// Gives the finished file open at `fd` (an anonymous O_TMPFILE file, or one under a temporary name)
// the name `name` in the folder open at `folder`, unless something stands there: a link, which
// never replaces a name and follows no path but the descriptor's. 0, or an errno value (EEXIST
// when `name` is taken).
int linkWithoutReplacing(int fd, int folder, const std::string& name);

}  // namespace kilnware::platform
