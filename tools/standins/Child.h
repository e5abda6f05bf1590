#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/FindProgram.h"

namespace kilnware::standins {

// Programs are found as the library finds them.
using platform::findProgram;

// Makes SIGTERM, SIGINT and SIGHUP stop the child that runChild waits for, instead of leaving it
// running behind a stand-in that was stopped. Call once, before anything is started.
void passOnTerminationSignals();
// The termination signal this process got, or 0.
int receivedSignal();

// Runs `program` with `arguments` through kilnware's Task (posix_spawn, no shell) and waits for it.
// Returns its exit status, 128 + the signal that ended it, or Task::kLaunchFailedStatus when it
// could not start (Task has then said why on standard error).
int runChild(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace kilnware::standins
