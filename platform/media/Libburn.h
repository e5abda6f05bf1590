#pragma once

#include <mutex>

namespace kilnware::platform::media {

// libburn keeps process-wide state (its message queue, its drive list): every user of it starts it
// through startLibburn and makes its calls on that state under libburnMutex.
std::mutex& libburnMutex();
// Starts libburn once for the process, quiet on standard error; call under libburnMutex.
bool startLibburn();

}  // namespace kilnware::platform::media
