#pragma once

#include <string>
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
// order. Paths are escaped for XML, so that any file name reaches the authoring tool as it is.
std::string projectFileText(const std::string& folder, const std::vector<std::string>& mpegPaths);

// Whether an item at a work path is recognisably an earlier run's work, which may be removed.
bool isProjectFile(const std::string& path);
bool isAuthoredFolder(const std::string& path);
bool isDiscImage(const std::string& path);

}  // namespace kilnware::video
