#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform {

// Work inside a folder that is held open: every step names its item relative to the folder's
// descriptor and never follows a link, so that nothing swapped in at a path reaches elsewhere.

// The folder at `path`, opened once: resolved, opened without following a link put at its place
// since, and checked to be what the path names now. None, with errno set (ESTALE when it changed
// meanwhile), when it cannot be opened.
UniqueFd openFolderOnce(const std::string& path);
// The names in the folder open at `folder` ("." and ".." left out), sorted; none when it cannot be
// read.
std::vector<std::string> namesIn(int folder);
// The folder `name` inside the folder open at `parent`; none when a link or anything else stands
// there.
UniqueFd openFolderIn(int parent, const std::string& name);
// Removes everything inside the folder open at `folder`, descending without following a link.
// False, with errno set, when anything stays.
bool removeFolderContent(int folder);
// Writes all of `bytes`, resuming after interruptions and short writes: 0, or the errno of the
// write that failed.
int writeAll(int fd, std::string_view bytes);

}  // namespace kilnware::platform
