// The strict reader of the authoring project (kilnware-dvdauthor): any text gives a project or a
// reason, and a project it takes, written again by the library's writer, reads back the same.

#include "FuzzSupport.h"
#include "Kilnware/VideoWork.h"
#include "ProjectFile.h"

using namespace kilnware;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto project = standins::readProject({reinterpret_cast<const char*>(data), size}, error);
    fuzz::require(project.has_value() == error.empty(), "a refusal says why, and only a refusal");
    if (!project) {
        return 0;
    }
    fuzz::require(!project->dest.empty() && !project->videoFiles.empty(), "a dest and a title");
    // The library never writes control characters; any other name must survive its writer.
    bool writable = !video::hasControlCharacter(project->dest);
    for (const auto& file : project->videoFiles) {
        writable = writable && !video::hasControlCharacter(file);
    }
    if (writable) {
        auto again = standins::readProject(
            video::projectFileText(project->dest, project->videoFiles), error);
        fuzz::require(
            again && again->dest == project->dest && again->videoFiles == project->videoFiles,
            "the written project reads back the same");
    }
    return 0;
}
