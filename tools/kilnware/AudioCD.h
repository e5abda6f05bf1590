#pragma once

// The host's description of an audio CD: its track info list and its CD-Text, from the files'
// tags and the command's options.

#include <string>
#include <vector>

#include <kilnware/platform/foundation/Value.h>

#include "CommandLine.h"

namespace kilnware::cli {

// A track's pre-gap when none is asked for: the customary two seconds between the tracks of a CD.
constexpr std::uint32_t kCustomaryPreGap = 150;

// The host's track info list: one record per file, titled by the option, the file's title tag or
// the file's name; its performer is the option's, or else the file's artist tag (--performer is
// the disc's).
platform::List trackRecords(const std::vector<std::string>& files,
                            const std::vector<platform::Dictionary>& tags,
                            const AudioOptions& audio);

// CD-Text as a host gives it: a list whose disc dictionary enables it, applied to the burn object
// that the setup panel will burn with. Without --title the disc is titled by the first album tag;
// without --performer its performer is the artist all tagged files share.
platform::List cdTextList(const platform::List& records,
                          const std::vector<platform::Dictionary>& tags, const AudioOptions& audio);

}  // namespace kilnware::cli
