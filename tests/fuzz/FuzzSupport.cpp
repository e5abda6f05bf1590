#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kilnware::fuzz {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz target: invariant broken: %s\n", what);
        std::abort();
    }
}

std::vector<std::string> split(std::string_view data, char separator) {
    std::vector<std::string> pieces(1);
    for (char c : data) {
        if (c == separator) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(c);
        }
    }
    return pieces;
}

std::string scratchFile(std::string_view name, std::string_view bytes) {
    // Never destroyed: the handler that removes it runs after the static destructors.
    static const std::string& folder = *new std::string([] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kilnware-fuzz-XXXXXX");
        require(::mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        });
        return pattern;
    }());
    const std::string path = folder + "/" + std::string(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    require(out.good(), "a scratch file can be written");
    return path;
}

}  // namespace kilnware::fuzz
