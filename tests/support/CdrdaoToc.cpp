#include "tests/support/CdrdaoToc.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "tests/support/Programs.h"

namespace kilnware::test {

Toc cdrdaoToc(const std::string& cue) {
    const RunResult run = runProgram(
        "env",
        {"-C", std::filesystem::path(cue).parent_path().string(), "cdrdao", "show-toc", cue});
    Toc toc;
    toc.said = run.out + run.err;
    if (run.status != 0) {
        return toc;
    }
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        line.erase(0, line.find_first_not_of(' '));
        auto frames = [&](const char* word) {
            unsigned m = 0, s = 0, f = 0;
            return std::sscanf(line.c_str() + std::string(word).size(), " %u:%u:%u", &m, &s, &f) ==
                           3
                       ? (std::uint64_t{m} * 60 + s) * 75 + f
                       : 0;
        };
        char mode[32] = {};
        if (std::sscanf(line.c_str(), "TRACK %*d Mode %31[^:]", mode) == 1) {
            toc.tracks.emplace_back().mode = mode;
        } else if (line.starts_with("CATALOG NUMBER: ")) {
            toc.catalog = line.substr(16);
        } else if (toc.tracks.empty()) {
            continue;
        } else if (line.starts_with("ISRC ")) {
            toc.tracks.back().isrc = line.substr(5);
        } else if (line == "COPY PERMITTED") {
            toc.tracks.back().copyPermitted = true;
        } else if (line == "PRE-EMPHASIS") {
            toc.tracks.back().preEmphasis = true;
        } else if (line == "FOUR CHANNEL AUDIO") {
            toc.tracks.back().fourChannels = true;
        } else if (line.starts_with("PREGAP")) {
            toc.tracks.back().preGap = frames("PREGAP");
        } else if (line.starts_with("START")) {
            toc.tracks.back().start = frames("START");
        } else if (line.starts_with("END")) {
            toc.tracks.back().end = frames("END");
        }
    }
    return toc;
}

}  // namespace kilnware::test
