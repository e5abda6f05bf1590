#include "tests/tools/standins/StandInRun.h"

#include <stdexcept>

#include "Kilnware/VideoWork.h"

namespace kilnware::test {

void makeClip(const std::string& path, const std::string& target,
              const std::vector<std::string>& extraOptions, const std::string& size) {
    bool pal = target == "pal-dvd";
    std::string source = "testsrc=size=" + (size.empty() ? (pal ? "720x576" : "720x480") : size) +
                         ":rate=" + (pal ? "25" : "30000/1001");
    std::vector<std::string> arguments{"-nostdin", "-v", "error", "-f",      "lavfi", "-i",
                                       source,     "-t", "1",     "-target", target,  "-an"};
    arguments.insert(arguments.end(), extraOptions.begin(), extraOptions.end());
    arguments.push_back("-y");
    arguments.push_back(path);
    RunResult made = runProgram(requiredProgram("ffmpeg"), arguments);
    if (made.status != 0) {
        throw std::runtime_error("ffmpeg could not make " + path + ": " + made.err);
    }
}

std::string projectXml(const std::string& dest, const std::vector<std::string>& videoFiles) {
    return video::projectFileText(dest, videoFiles);
}

}  // namespace kilnware::test
