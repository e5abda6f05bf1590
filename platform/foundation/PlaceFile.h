#pragma once

#include <string>

namespace kilnware::platform {

// Renames `from` to `to` unless something stands at `to` (a finished image never replaces a
// file that appeared under its name meanwhile); 0, or an errno value (EEXIST when `to` is taken).
// Where the file system has no RENAME_NOREPLACE, a hard link refuses an existing name just the
// same; without hard links either (FAT and the like) a check right before the rename is the
// narrowest gap left.
int placeWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace kilnware::platform
