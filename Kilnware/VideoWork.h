#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kilnware::video {

// Where the MPEG route of a video DVD does its work, all beside its first MPEG file.
struct WorkPaths {
    std::string folder;   // the DVD-video folder the authoring tool fills
    std::string project;  // the authoring project file
    std::string image;    // the disc image
};

// The folder is the first path up to its first ".mpg". Where the file name holds no ".mpg" (a .MPG
// or .mpeg file), or ".mpg" first occurs in a folder name, the folder is the file's own name
// without its extension, in its own folder; a name without an extension gets "_DVD" appended, so
// that the folder never is the MPEG file itself or its parent.
WorkPaths workPathsFor(const std::string& firstMpegPath);

// The authoring project: an empty menu and one title set whose one program chain plays the files in
// order. Paths are escaped for XML, so that any file name reaches the authoring tool as it is; the
// caller gives them absolute, so that no name means something else to the tool ("-", "&3").
std::string projectFileText(const std::string& folder, const std::vector<std::string>& mpegPaths);

// The first of `work`'s paths that equals, holds or lies inside one of `inputs` (or the other way
// round), after links in the paths are followed; none when they keep apart.
std::optional<std::string> clashingWorkPath(const WorkPaths& work,
                                            const std::vector<std::string>& inputs);

// The steps of a video route after which it looks whether it was told to stop (Task::terminateAll,
// which a host calls on a signal), in order: the work taken (its record, the leftovers cleared),
// the folder made, the project written, the authoring and the image tool running, the image made
// (before it is recorded), and the setup panel about to run.
enum class Step {
    WorkTaken,
    FolderMade,
    ProjectWritten,
    Authoring,
    Imaging,
    ImageMade,
    SetupPanel
};
// Calls `hook` as each step is reached, so that a test can send its signal just there; none by
// default.
void setStepHook(std::function<void(Step)> hook);
void reachStep(Step step);

// Whether `text` holds a control character, which no project file or cue line may carry.
bool hasControlCharacter(std::string_view text);

}  // namespace kilnware::video
