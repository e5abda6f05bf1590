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

// Items to remove the moment a termination signal comes, before the signal is passed on: the
// `name`s in the folders open at `folder`, in order (unlinkat with `flags`). A stand-in that is
// then killed, its grace period over, leaves none of them behind. Set once, before the child that
// needs them starts, and kept until the stand-in ends; `disarm` stops it.
struct SignalCleanup {
    int folder;
    std::string name;
    int flags;
};
void removeOnTerminationSignal(std::vector<SignalCleanup> items);
void disarmTerminationCleanup();

// A line for whoever runs the stand-in, on standard error. Its caller puts the stand-in's name
// before it (the library's log), so the line carries none of its own.
void say(const std::string& line);

// Runs `program` with `arguments` through kilnware's Task (posix_spawn, no shell) and waits for it.
// Returns its exit status, 128 + the signal that ended it, or Task::kLaunchFailedStatus when it
// could not start (Task has then said why on standard error). What the program prints reaches
// standard error as it printed it, a line at a time.
int runChild(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace kilnware::standins
