#include "tests/tools/standins/StandInRun.h"

#include <stdexcept>

namespace kilnware::test {

void makeClip(const std::string& path, const std::string& target,
              const std::vector<std::string>& extraOptions) {
    const bool pal = target == "pal-dvd";
    const std::string source =
        pal ? "testsrc=size=720x576:rate=25" : "testsrc=size=720x480:rate=30000/1001";
    std::vector<std::string> arguments{"-nostdin", "-v", "error", "-f",      "lavfi", "-i",
                                       source,     "-t", "1",     "-target", target,  "-an"};
    arguments.insert(arguments.end(), extraOptions.begin(), extraOptions.end());
    arguments.push_back("-y");
    arguments.push_back(path);
    RunResult made = runProgram("ffmpeg", arguments);
    if (made.status != 0) {
        throw std::runtime_error("ffmpeg could not make " + path + ": " + made.err);
    }
}

}  // namespace kilnware::test
