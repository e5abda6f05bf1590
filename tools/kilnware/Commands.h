#pragma once

#include "CommandLine.h"

namespace kilnware::cli {

// Runs what the command line asked for, to its end: the exit status.
int runCommand(const Request& request);

}  // namespace kilnware::cli
