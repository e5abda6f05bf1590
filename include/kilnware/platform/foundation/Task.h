#pragma once

#include <sys/types.h>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <kilnware/Export.h>
#include <kilnware/platform/foundation/Object.h>

namespace kilnware::platform {

// A child process. The arguments go to the program as they are, one argument each, never through
// a shell. The child inherits the environment and the working directory; its standard input is
// /dev/null, and what it writes to standard output and error goes into the log, a line at a time,
// after the program's name (or, on request, its standard output to a pipe the caller reads). It
// runs in a process group of its own, so that terminate() ends it together with whatever it
// started. A program that cannot be started writes one log line naming it, and the task then
// behaves as a run that has exited with status 127.
//
// A task is meant for one thread at a time. Destroying a task whose program still runs waits for
// the program to end (ending it first when its output goes to a pipe nobody reads any more), so
// that no child is left behind unreaped.
class KILNWARE_EXPORT Task : public Object {
public:
    static constexpr int kLaunchFailedStatus = 127;
    // The status of a run whose end the system could not report (a host that ignores SIGCHLD).
    static constexpr int kUnknownStatus = -1;

    enum class Output { Log, Pipe };

    Task() = default;
    ~Task() override;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
    const std::string& launchPath() const { return launchPath_; }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return arguments_; }
    // Where standard output goes (standard error always goes into the log). Before launch.
    void setStandardOutput(Output output) { output_ = output; }
    // False keeps the child in the caller's process group: for a program that stands in for
    // another and is itself ended as a group by whoever started it.
    void setNewProcessGroup(bool newGroup) { newGroup_ = newGroup; }

    // Starts the program; false when it could not be started. A task is launched at most once: a
    // second call returns false and changes nothing (and logs nothing).
    bool launch();
    // Blocks until the program has exited. Returns at once for a task that never started.
    void waitUntilExit();
    // With Output::Pipe: the next bytes the program wrote, blocking until there are some; 0 at the
    // end of its output; -1 with errno on a read error.
    ssize_t readStandardOutput(void* buffer, std::size_t size);
    // The same, waiting at most `timeoutMilliseconds` for bytes: -1 with errno ETIMEDOUT when
    // none came by then.
    ssize_t readStandardOutput(void* buffer, std::size_t size, int timeoutMilliseconds);
    // Whether the program was started and has not ended yet; notices an end without blocking.
    bool isRunning() const;
    // The exit status (or 128 + the signal that ended it); none while it runs or before launch.
    std::optional<int> terminationStatus() const;
    // The program that was really started, after stand-in resolution.
    const std::string& resolvedPath() const { return resolvedPath_; }
    // The child's process id once launched (also after it ended); 0 before, or when it could
    // not start.
    pid_t processIdentifier() const { return pid_; }

    // Ends the program and everything in its process group: SIGTERM now, SIGKILL if it is still
    // there after a grace period, and SIGKILL for what is left of its group once it has ended.
    // waitUntilExit then returns once it has ended.
    void terminate();
    // Whether terminate() or terminateAll() ended this run.
    bool wasTerminated() const;
    // The last few non-empty lines the program wrote to the log (standard error, and standard
    // output unless it goes to a pipe), oldest first: what a host shows as the reason of a failed
    // run.
    std::vector<std::string> lastOutputLines() const;
    // Ends, as terminate() does, every program that the tasks of this process run now. Safe in a
    // signal handler: a host calls it when it is told to stop, so that no child outlives it.
    static void terminateAll();

private:
    struct Running;
    void reap(bool block) const;
    // Reads what the program wrote into the log; waits up to `timeoutMs` for something to happen.
    void pump(int timeoutMs) const;

    std::string launchPath_;
    std::vector<std::string> arguments_;
    std::string resolvedPath_;
    Output output_ = Output::Log;
    bool newGroup_ = true;
    // Observing a task collects its ended child and its output, hence mutable.
    mutable pid_t pid_ = 0;
    bool launched_ = false;
    mutable std::optional<int> exitStatus_;
    mutable std::shared_ptr<Running> running_;
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
