#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRTrack.h>

namespace kilnware {

// Adds one node per existing path to `root`, in list order: a directory with everything in it, or
// a file. A path where nothing stands adds nothing.
void fillRootFolder(platform::DRFolder& root, const std::vector<std::string>& paths);

// The data track of `root`, filled from `paths`; none when nothing of the list exists (an empty
// disc is no burn) or the engine makes no track, and `why` then says why for a person.
std::shared_ptr<platform::DRTrack> dataTrackOf(std::shared_ptr<platform::DRFolder> root,
                                               const std::vector<std::string>& paths,
                                               std::string& why);

}  // namespace kilnware
