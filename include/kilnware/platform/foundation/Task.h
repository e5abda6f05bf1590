#pragma once

#include <sys/types.h>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware::platform {

// A child process. The arguments go to the program as they are, one argument each, never through
// a shell; the child inherits the environment, the working directory and the standard streams.
// A program that cannot be started writes one log line naming it, and the task then behaves as a
// run that has exited with status 127.
//
// A task is meant for one thread at a time. Destroying a task whose program still runs waits for
// the program to end, so that no child is left behind unreaped.
class KILNWARE_EXPORT Task : public Object {
public:
    static constexpr int kLaunchFailedStatus = 127;
    // The status of a run whose end the system could not report (a host that ignores SIGCHLD).
    static constexpr int kUnknownStatus = -1;

    Task() = default;
    ~Task() override;

    void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
    const std::string& launchPath() const { return launchPath_; }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return arguments_; }

    // Starts the program; false when it could not be started. A task is launched at most once: a
    // second call returns false and changes nothing (and logs nothing).
    bool launch();
    // Blocks until the program has exited. Returns at once for a task that never started.
    void waitUntilExit();
    // Whether the program was started and has not ended yet; notices an end without blocking.
    bool isRunning() const;
    // The exit status (or 128 + the signal that ended it); none while it runs or before launch.
    std::optional<int> terminationStatus() const;
    // The program that was really started, after stand-in resolution.
    const std::string& resolvedPath() const { return resolvedPath_; }
    // The child's process id once launched (also after it ended); 0 before, or when it could
    // not start. Lets a host pass on signals to the program.
    pid_t processIdentifier() const { return pid_; }

private:
    void reap(bool block) const;

    std::string launchPath_;
    std::vector<std::string> arguments_;
    std::string resolvedPath_;
    // Observing a task collects its ended child, hence mutable.
    mutable pid_t pid_ = 0;
    bool launched_ = false;
    mutable std::optional<int> exitStatus_;
};

// Programs that stand in, on this system, for fixed launch paths that do not exist here. The
// platform fills the table with the project's own stand-ins; a host may add or replace entries.
class KILNWARE_EXPORT StandIns {
public:
    static void registerStandIn(const std::string& launchPath, const std::string& program);
    static void unregisterStandIn(const std::string& launchPath);
    // `launchPath` itself when something executable stands there or no stand-in is registered;
    // otherwise the registered program.
    static std::string resolve(const std::string& launchPath);
};

}  // namespace kilnware::platform
