#pragma once

#include <string>
#include <vector>

#include "tests/support/Programs.h"

namespace kilnware::test {

// A short MPEG-2 program stream made by ffmpeg from its test pattern, with DVD settings:
// "pal-dvd" or "ntsc-dvd", plus any further ffmpeg output options.
void makeClip(const std::string& path, const std::string& target,
              const std::vector<std::string>& extraOptions = {});

}  // namespace kilnware::test
