// What the benchmarks share: running one side of a comparison in a process of its own, so that its
// wall time and peak memory are its own, and summing the rounds up.

#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/RunLoop.h>

extern char** environ;

namespace bench {

// Burns `track` on `recorder` and waits for the end; 0 when it is done, 1 (with the engine's
// text on standard error) when it failed.
inline int burnTrack(const std::shared_ptr<kilnware::platform::ImageRecorder>& recorder,
                     const std::shared_ptr<kilnware::platform::DRTrack>& track) {
    using namespace kilnware::platform;
    auto burn = DRBurn::burnForDevice(recorder);
    std::optional<Dictionary> last;
    burn->setStatusHandler([&](const Dictionary& status) {
        if (DROperation::isFinal(status)) {
            last = status;
        }
    });
    burn->writeLayout(List{Value(track)});
    RunLoop::current()->runUntil([&] { return last.has_value(); });
    recorder->waitForOperations();
    if (DROperation::hasFailed(*last)) {
        std::fprintf(stderr, "burn failed: %s\n",
                     DROperation::errorText(*last).value_or("").c_str());
        return 1;
    }
    return 0;
}

struct Run {
    double seconds = 0;
    double peakMiB = 0;
};

// Runs `child` in a forked process; exits the bench if it fails. The peak memory is the child's or
// that of a program it waited for, whichever is larger.
inline Run measure(const std::function<int()>& child, const char* what) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(child());
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", what);
        std::exit(1);
    }
    return Run{seconds, static_cast<double>(usage.ru_maxrss) / 1024};
}

// Runs `program` with `argv` (no shell) and returns its exit status; its output goes to /dev/null
// when `quiet`, so that its chatter costs it no more than a terminal would.
inline int runProgram(const char* program, const std::vector<const char*>& args, bool quiet) {
    std::vector<char*> argv;
    for (const char* arg : args) {
        argv.push_back(const_cast<char*>(arg));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return 127;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace bench
