#pragma once

#include <string>
#include <vector>

namespace kilnware::test {

// What a program said and how it ended.
struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` (posix_spawn, no shell) and collects its output. `environment`
// entries ("NAME=value") are added to this process's own environment.
RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment = {});

// The path of an installed program the tests need (scripts/install-deps.sh installs it); throws,
// failing the test, when it is missing.
std::string requiredProgram(const std::string& name);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool pathExists(const std::string& path);

// A short MPEG-2 program stream made by ffmpeg from its test pattern, with DVD settings:
// "pal-dvd" or "ntsc-dvd", plus any further ffmpeg output options.
void makeClip(const std::string& path, const std::string& target,
              const std::vector<std::string>& extraOptions = {}, const std::string& size = "");

// The project file kilnware writes for dvdauthor.
std::string projectXml(const std::string& dest, const std::vector<std::string>& videoFiles);

}  // namespace kilnware::test
