#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware::platform {

// A child process. The arguments go to the program as they are, one argument each, never through
// a shell. A program that cannot be started writes one log line naming it, and the task then
// behaves as a run that has exited with status 127.
class KILNWARE_EXPORT Task : public Object {
public:
    static constexpr int kLaunchFailedStatus = 127;

    Task() = default;
    ~Task() override;

    void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
    const std::string& launchPath() const { return launchPath_; }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return arguments_; }

    // Starts the program; false when it could not be started. A task is launched at most once.
    bool launch();
    // Blocks until the program has exited. Returns at once for a task that never started.
    void waitUntilExit();
    bool isRunning() const { return pid_ > 0 && !exitStatus_; }
    // The exit status (or 128 + the signal that ended it); none while it runs or before launch.
    std::optional<int> terminationStatus() const { return exitStatus_; }
    // The program that was really started, after stand-in resolution.
    const std::string& resolvedPath() const { return resolvedPath_; }

private:
    std::string launchPath_;
    std::vector<std::string> arguments_;
    std::string resolvedPath_;
    pid_t pid_ = 0;
    bool launched_ = false;
    std::optional<int> exitStatus_;
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
