#pragma once

#include <functional>
#include <memory>
#include <string>

#include <kilnware/platform/discrecording/DRBurn.h>

namespace kilnware::platform::libburn {

// Runs test code on the burn's thread once the tracks are written and before they are read back.
using VerifyHook = std::function<void(const std::string& address)>;

// Burns `layout` with the recorder at `address` on the calling thread, reporting progress through
// `burn`: grabs the drive, writes, reads the data tracks back when the burn asks for verification,
// and releases the drive. Returns the failure text, or nothing when the burn succeeded.
std::string burnLayout(const std::string& address, const std::shared_ptr<DRBurn>& burn,
                       const Value& layout, const VerifyHook& beforeVerify);

}  // namespace kilnware::platform::libburn
