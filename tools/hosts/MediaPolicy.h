#pragma once

#include <kilnware/platform/discrecording/DRDevice.h>

namespace kilnware::hosts {

// The media policy the project's hosts (the command and the desktop program) share, wider than
// the library's CD-R and CD-RW: a burn goes on CD-R/RW, DVD±R/RW (single and double layer),
// DVD-RAM and BD-R/RE, and on libburn's pseudo-drives over files; an erase takes any rewritable
// medium. Each host says "no" in words of its own.
bool widerPolicyTakes(const platform::DRDevice* device, bool erase);

}  // namespace kilnware::hosts
