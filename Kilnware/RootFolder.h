#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>

namespace kilnware {

// Adds one node per existing path to `root`, in list order: a directory with everything in it, or
// a file. A path where nothing stands adds nothing.
void fillRootFolder(platform::DRFolder& root, const std::vector<std::string>& paths);

}  // namespace kilnware
