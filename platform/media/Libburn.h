#pragma once

#include <mutex>
#include <string>

namespace kilnware::platform::media {

// libburn, libisofs and libisoburn keep process-wide state (a shared message queue, libburn's drive
// list, libisoburn's list of the drives it follows): every user of libburn starts them through
// startLibburn and makes its calls on that state under libburnMutex.
std::mutex& libburnMutex();
// Starts the three libraries once for the process, quiet on standard error; call under
// libburnMutex.
bool startLibburn();
// Starts them for a user of libisofs alone (a disc image); safe from any thread. False, with the
// reason in `error`, when they cannot start.
bool startLibisofs(std::string& error);

}  // namespace kilnware::platform::media
