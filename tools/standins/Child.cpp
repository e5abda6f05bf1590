#include "Child.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/Task.h>

#include "platform/foundation/Strings.h"

namespace kilnware::standins {

namespace {

volatile sig_atomic_t childPid = 0;
volatile sig_atomic_t stopSignal = 0;
// Written before it is armed and never freed, so that a handler may walk it at any time.
std::vector<SignalCleanup>* cleanup = nullptr;
std::atomic<bool> cleanupArmed{false};

void onTerminationSignal(int signal) {
    stopSignal = signal;
    if (cleanupArmed.exchange(false)) {
        for (const SignalCleanup& item : *cleanup) {
            ::unlinkat(item.folder, item.name.c_str(), item.flags);
        }
    }
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

void removeOnTerminationSignal(std::vector<SignalCleanup> items) {
    cleanup = new std::vector<SignalCleanup>(std::move(items));
    cleanupArmed = true;
}

void disarmTerminationCleanup() {
    cleanupArmed = false;
}

void say(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

int runChild(const std::string& program, const std::vector<std::string>& arguments) {
    // A stand-in talks to its caller through standard error only. The child's lines go there as
    // it printed them (the caller's log puts the stand-in's name before each), and Task's own too.
    platform::Log::setSystemLogEnabled(false);
    const std::string ownName = platform::lastPathComponent(program) + ": ";
    const auto sink =
        platform::Log::addSink([&](std::string_view line, platform::Log::Level level) {
            if (level == platform::Log::Level::Tool && line.starts_with(ownName)) {
                line.remove_prefix(ownName.size());
            }
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        });

    platform::Task task;
    task.setLaunchPath(program);
    task.setArguments(arguments);
    // The child stays in the stand-in's group: whoever ends the stand-in's group ends it too.
    task.setNewProcessGroup(false);
    if (!task.launch()) {
        platform::Log::removeSink(sink);
        return platform::Task::kLaunchFailedStatus;
    }
    childPid = task.processIdentifier();
    // A signal that came while the child was being started has found no child to pass to.
    if (stopSignal != 0) {
        ::kill(task.processIdentifier(), stopSignal);
    }
    task.waitUntilExit();
    childPid = 0;
    platform::Log::removeSink(sink);
    int status = task.terminationStatus().value_or(platform::Task::kUnknownStatus);
    return status < 0 ? 1 : status;
}

}  // namespace kilnware::standins
