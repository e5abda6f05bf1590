#include "MakehybridArguments.h"

#include <cstring>

namespace kilnware::standins {

std::optional<MakehybridArguments> parseMakehybridArguments(int argc, const char* const* argv) {
    static const char* const kFixed[] = {"makehybrid",   "-iso", "-joliet",         "-udf",
                                         "-udf-version", "1.02", "-udf-volume-name"};
    if (argc != 12) {
        return std::nullopt;
    }
    for (int i = 0; i < 7; ++i) {
        if (std::strcmp(argv[1 + i], kFixed[i]) != 0) {
            return std::nullopt;
        }
    }
    if (std::strcmp(argv[9], "-o") != 0 || argv[10][0] == '\0' || argv[11][0] == '\0') {
        return std::nullopt;
    }
    return MakehybridArguments{argv[8], argv[10], argv[11]};
}

}  // namespace kilnware::standins
