#pragma once

#include <string>
#include <string_view>

namespace kilnware::platform {

// The last component of a path, trailing separators ignored: "/Music/01 Intro.aiff" gives
// "01 Intro.aiff", "/Music/" gives "Music", "/" stays "/".
std::string lastPathComponent(std::string_view path);

// The path without its last extension: "a.b.wav" gives "a.b". A leading dot starts a name, not an
// extension, so ".hidden" stays whole.
std::string stringByDeletingPathExtension(std::string_view path);

// Compares two texts as a person reading the user's language would sort them, ignoring case:
// negative, zero or positive.
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

}  // namespace kilnware::platform
