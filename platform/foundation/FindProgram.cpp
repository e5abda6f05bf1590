#include "platform/foundation/FindProgram.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kilnware::platform {

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> findProgram(std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    const char* path = ::secure_getenv("PATH");
    const std::string folders = std::string(path ? path : "") + ":/usr/bin:/bin";
    std::string_view rest(folders);
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (folder.empty() || folder.front() != '/') {
            continue;
        }
        std::string candidate = std::string(folder) + "/" + std::string(name);
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace kilnware::platform
