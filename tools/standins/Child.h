#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kilnware::standins {

// The first executable `name` in the absolute entries of $PATH, else in /usr/bin. Relative
// entries are skipped, so that the folder a stand-in happens to run in never supplies a program.
std::optional<std::string> findProgram(std::string_view name);

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
