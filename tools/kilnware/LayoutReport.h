#pragma once

// What a burn would write, as --dry-run shows it: every track, the size against the medium and
// whether it fits.

#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRDevice.h>
#include <kilnware/platform/foundation/Value.h>

#include "Output.h"

namespace kilnware::cli {

// Shows `layout` measured against the medium in `device` (null: the layout alone). `labels` names
// the tracks in order, where the command knows more of them than the layout does (the audio
// files' titles); `estimate` says that the size is reckoned from the inputs before they are
// made into the disc (a video DVD's MPEG files before authoring).
void showLayout(const Output& output, const platform::Value& layout,
                const platform::DRDevice* device, const std::vector<std::string>& labels,
                bool estimate);

}  // namespace kilnware::cli
