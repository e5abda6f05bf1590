#pragma once

namespace kilnware::platform {

// How often Task::terminateAll has been called in this process. A host calls it when it is told to
// stop (a signal), also between two programs, when nothing runs that it could end: a caller that
// notes the count before a series of steps knows after each whether it was told to stop meanwhile.
unsigned terminateAllCalls();

}  // namespace kilnware::platform
