#pragma once

#include <optional>
#include <string>

namespace kilnware::standins {

// What kilnware-hdiutil is asked for: the volume name T, the image I and the folder F of
//
//   makehybrid -iso -joliet -udf -udf-version 1.02 -udf-volume-name T -o I F
struct MakehybridArguments {
    std::string volumeName;
    std::string image;
    std::string folder;
};

// The request in `argv` (program name first), when it is exactly that vector with I and F not
// empty (T may be); none for any other.
std::optional<MakehybridArguments> parseMakehybridArguments(int argc, const char* const* argv);

}  // namespace kilnware::standins
