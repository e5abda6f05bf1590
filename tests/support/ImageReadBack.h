#pragma once

// Reading images back with programs that know nothing of Kilnware: isoinfo (ISO 9660, Rock Ridge,
// Joliet), xorriso (Rock Ridge as Linux reads it), udfinfo and 7-Zip (UDF, HFS+). scripts/
// install-deps.sh installs them all; a test that cannot start one fails.

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRTrack.h>

#include "tests/support/Programs.h"

namespace kilnware::test {

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            result.push_back(line);
        }
    }
    return result;
}

// The paths that `isoinfo -f` lists, sorted; `tree` is "" (plain ISO 9660), "-R" or "-J".
inline std::vector<std::string> isoPaths(const std::string& image, const std::string& tree) {
    std::vector<std::string> arguments = {"-f", "-i", image};
    if (!tree.empty()) {
        arguments.insert(arguments.begin(), tree);
    }
    auto run = runProgram("isoinfo", arguments);
    if (run.status != 0) {
        return {"isoinfo failed with status " + std::to_string(run.status)};
    }
    auto paths = lines(run.out);
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The Rock Ridge tree as Linux reads it (xorriso follows relocated folders to their places), one
// "MODE OWNER GROUP PATH" line per item, " -> TARGET" added for a link; sorted.
inline std::vector<std::string> rockRidgeItems(const std::string& image) {
    auto run = runProgram("xorriso", {"-indev", image, "-find", "/", "-exec", "lsdl", "--"});
    if (run.status != 0) {
        return {"xorriso failed with status " + std::to_string(run.status) + ": " + run.err};
    }
    static const std::regex item(
        R"(^(\S+)\s+\d+\s+(\S+)\s+(\S+)\s+\d+\s+\S+\s+\S+\s+\S+\s+'(.*?)'(?: -> '(.*)')?$)");
    std::vector<std::string> items;
    for (const auto& line : lines(run.out)) {
        std::smatch m;
        if (std::regex_match(line, m, item)) {
            items.push_back(m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4) +
                            (m[5].matched ? " -> " + m.str(5) : ""));
        }
    }
    std::sort(items.begin(), items.end());
    return items;
}

// The paths that 7-Zip lists in `image` read as `type` (Udf, HFS), sorted.
inline std::vector<std::string> sevenZipPaths(const std::string& image, const std::string& type) {
    auto run = runProgram("7zz", {"l", "-slt", "-t" + type, image});
    if (run.status != 0) {
        return {"7zz failed with status " + std::to_string(run.status)};
    }
    std::vector<std::string> paths;
    bool inEntries = false;
    for (const auto& line : lines(run.out)) {
        if (line.rfind("----------", 0) == 0) {
            inEntries = true;
        } else if (inEntries && line.rfind("Path = ", 0) == 0) {
            paths.push_back(line.substr(7));
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

inline std::string sevenZipFile(const std::string& image, const std::string& type,
                                const std::string& path) {
    return runProgram("7zz", {"e", "-so", "-t" + type, image, path}).out;
}

// Streams a track into `path`; the reader's error, or "" when it ended cleanly.
inline std::string writeTrack(const platform::DRTrack& track, const std::string& path,
                              std::size_t chunk = 64 * 1024) {
    auto reader = track.newReader();
    if (!reader) {
        return "no reader";
    }
    std::ofstream out(path, std::ios::binary);
    std::vector<std::byte> buffer(chunk);
    while (std::size_t n = reader->read(buffer)) {
        out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n));
    }
    return reader->error();
}

}  // namespace kilnware::test
