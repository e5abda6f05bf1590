#include "Child.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/Task.h>

namespace kilnware::standins {

namespace {

volatile sig_atomic_t childPid = 0;
volatile sig_atomic_t stopSignal = 0;

void onTerminationSignal(int signal) {
    stopSignal = signal;
    if (childPid > 0) {
        ::kill(childPid, signal);
    }
}

}  // namespace

void passOnTerminationSignals() {
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

int receivedSignal() {
    return stopSignal;
}

int runChild(const std::string& program, const std::vector<std::string>& arguments) {
    // A stand-in talks to its caller through standard error only; Task's own lines go there too.
    platform::Log::setSystemLogEnabled(false);
    platform::Log::setStandardErrorEnabled(true);

    platform::Task task;
    task.setLaunchPath(program);
    task.setArguments(arguments);
    // The child stays in the stand-in's group: whoever ends the stand-in's group ends it too.
    task.setNewProcessGroup(false);
    if (!task.launch()) {
        return platform::Task::kLaunchFailedStatus;
    }
    childPid = task.processIdentifier();
    // A signal that came while the child was being started has found no child to pass to.
    if (stopSignal != 0) {
        ::kill(task.processIdentifier(), stopSignal);
    }
    task.waitUntilExit();
    childPid = 0;
    int status = task.terminationStatus().value_or(platform::Task::kUnknownStatus);
    return status < 0 ? 1 : status;
}

}  // namespace kilnware::standins
