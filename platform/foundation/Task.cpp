#include <kilnware/platform/foundation/Task.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <kilnware/platform/foundation/Log.h>

#include "platform/foundation/Strings.h"
#include "platform/foundation/TaskStops.h"
#include "platform/foundation/UniqueFd.h"

extern char** environ;

namespace kilnware::platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long a terminated program may take to end on SIGTERM before it gets SIGKILL.
constexpr auto kGracePeriod = std::chrono::seconds(2);
// Without pidfds, how often a waiting task looks whether its program has ended.
constexpr int kPollMilliseconds = 50;

// The programs running now, for terminateAll: what kill() takes to reach each (the negated process
// group, or the process itself), and whether it was told to end. Fixed and lock-free, so that a
// signal handler may walk it.
struct Slot {
    std::atomic<pid_t> target{0};
    std::atomic<bool> terminate{false};
};
constexpr std::size_t kSlots = 64;
Slot gSlots[kSlots];
// How often terminateAll was called: a launch that it overlapped, between the spawn and taking a
// slot, ends its program itself.
std::atomic<unsigned> gTerminateAllCalls{0};

// posix_spawn attributes that give the child a clean signal state (nothing blocked, and the
// dispositions a host commonly ignores for its own sake back to their defaults) and, on request,
// a process group of its own.
class SpawnAttributes {
public:
    explicit SpawnAttributes(bool newGroup) {
        ok_ = posix_spawnattr_init(&attributes_) == 0;
        if (!ok_) {
            return;
        }
        sigset_t none;
        sigemptyset(&none);
        sigset_t reset;
        sigemptyset(&reset);
        sigaddset(&reset, SIGPIPE);
        sigaddset(&reset, SIGCHLD);
        sigaddset(&reset, SIGINT);
        sigaddset(&reset, SIGTERM);
        sigaddset(&reset, SIGHUP);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &reset);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (newGroup) {
            posix_spawnattr_setpgroup(&attributes_, 0);
            flags |= POSIX_SPAWN_SETPGROUP;
        }
        posix_spawnattr_setflags(&attributes_, flags);
    }
    ~SpawnAttributes() {
        if (ok_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return ok_ ? &attributes_ : nullptr; }

private:
    posix_spawnattr_t attributes_{};
    bool ok_ = false;
};

class FileActions {
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~FileActions() {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    posix_spawn_file_actions_t* get() { return ok_ ? &actions_ : nullptr; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

}  // namespace

// What a launched program needs while it runs: its output, its end, its slot.
struct Task::Running {
    std::string name;
    UniqueFd log;  // standard error (and output, with Output::Log), read end
    UniqueFd out;  // standard output with Output::Pipe, read end
    UniqueFd pidfd;
    std::string pending;
    static constexpr std::size_t kTailLines = 8;
    std::vector<std::string> tail;  // the last lines it printed, for the reason of a failure
    Slot* slot = nullptr;
    std::optional<Clock::time_point> terminatingSince;
    bool killed = false;
    bool terminated = false;

    void logLines(bool flush) {
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            logLine(std::string_view(pending).substr(start, end - start));
        }
        pending.erase(0, start);
        if (flush && !pending.empty()) {
            logLine(pending);
            pending.clear();
        }
    }

    void logLine(std::string_view line) {
        Log::tool(name, line);
        if (!line.empty()) {
            tail.emplace_back(line);
            if (tail.size() > kTailLines) {
                tail.erase(tail.begin());
            }
        }
    }

    // Reads what is there to read on the log pipe; closes it at its end.
    void drainLog() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(log.get(), buffer, sizeof buffer);
            if (n > 0) {
                pending.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0 || errno != EAGAIN) {
                log.reset();
                logLines(true);
                return;
            }
            logLines(false);
            return;
        }
    }

    // SIGKILL for a program that outlived its grace period.
    void escalate() {
        if (!slot || !slot->terminate.load()) {
            return;
        }
        terminated = true;
        const auto now = Clock::now();
        if (!terminatingSince) {
            terminatingSince = now;
        }
        if (!killed && now - *terminatingSince >= kGracePeriod) {
            if (const pid_t target = slot->target.load(); target != 0) {
                ::kill(target, SIGKILL);
            }
            killed = true;
        }
    }

    // How long a wait may last before escalate() must look again.
    int waitBudget(int wanted) const {
        int budget = wanted;
        if (!pidfd) {
            budget = budget < 0 ? kPollMilliseconds : std::min(budget, kPollMilliseconds);
        }
        if (terminatingSince && !killed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  kGracePeriod - (Clock::now() - *terminatingSince))
                                  .count();
            const int grace = static_cast<int>(std::max<long long>(left, 1));
            budget = budget < 0 ? grace : std::min(budget, grace);
        }
        return budget;
    }

    void release() {
        if (slot) {
            slot->target.store(0);
            slot->terminate.store(false);
            slot = nullptr;
        }
    }
};

Task::~Task() {
    if (pid_ > 0 && !exitStatus_) {
        if (output_ == Output::Pipe) {
            // Nobody reads on: the program would wait for ever for room in the pipe.
            running_->out.reset();
            terminate();
        }
        reap(true);
    }
}

std::vector<std::string> Task::lastOutputLines() const {
    if (!running_) {
        return {};
    }
    reap(false);
    return running_->tail;
}

bool Task::launch() {
    if (launched_) {
        return false;
    }
    launched_ = true;
    resolvedPath_ = StandIns::resolve(launchPath_);

    auto refuse = [this](const std::string& reason) {
        std::string program = launchPath_;
        if (resolvedPath_ != launchPath_) {
            program += " (stand-in " + resolvedPath_ + ")";
        }
        Log::write("Could not start %@: %@", {program, reason});
        exitStatus_ = kLaunchFailedStatus;
        return false;
    };
    if (launchPath_.empty()) {
        Log::write("Could not start a task: no launch path was set");
        exitStatus_ = kLaunchFailedStatus;
        return false;
    }
    // posix_spawn would say the same, but checking first gives the plain reason.
    if (::access(resolvedPath_.c_str(), X_OK) != 0) {
        return refuse(std::strerror(errno));
    }

    std::vector<std::string> words;
    words.reserve(arguments_.size() + 1);
    words.push_back(launchPath_);
    words.insert(words.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    Pipe log;
    Pipe out;
    if (!log.open() || (output_ == Output::Pipe && !out.open())) {
        return refuse(std::strerror(errno));
    }
    FileActions actions;
    if (!actions.get() ||
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0 ||
        posix_spawn_file_actions_adddup2(
            actions.get(), output_ == Output::Pipe ? out.write.get() : log.write.get(),
            STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), log.write.get(), STDERR_FILENO) != 0) {
        return refuse("cannot prepare its standard streams");
    }
    SpawnAttributes attributes(newGroup_);
    const unsigned terminateAllCalls = gTerminateAllCalls.load();
    pid_t pid = 0;
    int result = posix_spawn(&pid, resolvedPath_.c_str(), actions.get(), attributes.get(),
                             argv.data(), environ);
    if (result != 0) {
        return refuse(std::strerror(result));
    }
    pid_ = pid;
    running_ = std::make_shared<Running>();
    running_->name = lastPathComponent(launchPath_);
    running_->log = std::move(log.read);
    running_->out = std::move(out.read);
    ::fcntl(running_->log.get(), F_SETFL, O_NONBLOCK);
    running_->pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (Slot& slot : gSlots) {
        pid_t free = 0;
        if (slot.target.compare_exchange_strong(free, newGroup_ ? -pid : pid)) {
            running_->slot = &slot;
            break;
        }
    }
    if (gTerminateAllCalls.load() != terminateAllCalls) {
        terminate();
    }
    return true;
}

void Task::pump(int timeoutMs) const {
    Running& r = *running_;
    r.escalate();  // a program told to end is waited for no longer than its grace period
    pollfd fds[2];
    nfds_t count = 0;
    if (r.log) {
        fds[count++] = {r.log.get(), POLLIN, 0};
    }
    if (r.pidfd) {
        fds[count++] = {r.pidfd.get(), POLLIN, 0};
    }
    if (::poll(fds, count, r.waitBudget(timeoutMs)) > 0 && r.log && fds[0].revents != 0) {
        r.drainLog();
    }
    r.escalate();
}

void Task::reap(bool block) const {
    if (pid_ <= 0 || exitStatus_) {
        return;
    }
    // The program's end is seen before it is collected: until then its pid holds its group's id,
    // so the group (and nobody else) is still reached through it.
    siginfo_t ended{};
    int seen = 0;
    for (;;) {
        pump(block ? -1 : 0);
        ended.si_pid = 0;
        do {
            seen = ::waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT);
        } while (seen < 0 && errno == EINTR);
        if (seen < 0 || ended.si_pid != 0 || !block) {
            break;
        }
    }
    if (seen == 0 && ended.si_pid == 0) {
        return;
    }
    int lost = seen < 0 ? errno : 0;
    Running& r = *running_;
    r.terminated = r.terminated || (r.slot && r.slot->terminate.load());
    // Told to end, the program did; whatever of its group it leaves behind got the same SIGTERM
    // and is still there: it ends now, or nothing would ever end it.
    if (const pid_t target = r.slot ? r.slot->target.load() : 0;
        seen == 0 && r.terminated && target < 0) {
        ::kill(target, SIGKILL);
    }
    r.release();  // before the pid is given up, so that terminateAll never reaches a reused one
    int status = 0;
    pid_t result = -1;
    if (seen == 0) {
        do {
            result = ::waitpid(pid_, &status, 0);
        } while (result < 0 && errno == EINTR);
        lost = result < 0 ? errno : 0;
    }
    if (result < 0) {
        // Someone else collected the child (a host that ignores SIGCHLD): it has ended, somehow.
        Log::write("Lost track of %@ (process %@): %@",
                   {launchPath_, std::to_string(pid_), std::strerror(lost)});
        exitStatus_ = kUnknownStatus;
    } else if (WIFSIGNALED(status)) {
        exitStatus_ = 128 + WTERMSIG(status);
    } else {
        exitStatus_ = WEXITSTATUS(status);
    }
    if (r.log) {
        r.drainLog();  // what it wrote last; a grandchild that holds the pipe is not waited for
    }
    r.logLines(true);
    r.pidfd.reset();
}

void Task::waitUntilExit() {
    reap(true);
}

ssize_t Task::readStandardOutput(void* buffer, std::size_t size) {
    return readStandardOutput(buffer, size, -1);
}

ssize_t Task::readStandardOutput(void* buffer, std::size_t size, int timeoutMilliseconds) {
    if (!running_ || !running_->out) {
        return 0;
    }
    Running& r = *running_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        int wait = -1;
        if (timeoutMilliseconds >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            wait = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{r.out.get(), POLLIN, 0}, {r.log ? r.log.get() : -1, POLLIN, 0}};
        if (::poll(fds, 2, r.waitBudget(wait)) < 0 && errno != EINTR) {
            return -1;
        }
        if (fds[1].revents != 0) {
            r.drainLog();
        }
        r.escalate();
        if (fds[0].revents != 0) {
            ssize_t n;
            do {
                n = ::read(r.out.get(), buffer, size);
            } while (n < 0 && errno == EINTR);
            return n;
        }
    }
}

bool Task::isRunning() const {
    reap(false);
    return pid_ > 0 && !exitStatus_;
}

std::optional<int> Task::terminationStatus() const {
    reap(false);
    return exitStatus_;
}

void Task::terminate() {
    if (!running_ || exitStatus_ || !running_->slot) {
        return;
    }
    Slot& slot = *running_->slot;
    slot.terminate.store(true);
    if (const pid_t target = slot.target.load(); target != 0) {
        ::kill(target, SIGTERM);
    }
}

bool Task::wasTerminated() const {
    return running_ && (running_->terminated || (running_->slot && running_->slot->terminate));
}

unsigned terminateAllCalls() {
    return gTerminateAllCalls.load();
}

void Task::terminateAll() {
    gTerminateAllCalls.fetch_add(1);
    for (Slot& slot : gSlots) {
        if (const pid_t target = slot.target.load(); target != 0) {
            slot.terminate.store(true);
            ::kill(target, SIGTERM);
        }
    }
}

namespace {

struct StandInTable {
    std::mutex mutex;
    std::map<std::string, std::string> programs;
};

std::string projectStandIn(const char* name) {
    // secure_getenv: a setuid host must not let its caller choose what it runs.
    if (const char* folder = ::secure_getenv("KILNWARE_STANDIN_DIR"); folder && *folder) {
        return std::string(folder) + "/" + name;
    }
    // Otherwise only the library's own libexec folder, found from where the library was loaded so
    // that a moved installation still finds its stand-ins. Not normalised: ".." must leave the
    // folder the system resolves (/lib is a link to /usr/lib on Debian).
    static const char anchor = 0;
    Dl_info library{};
    if (::dladdr(&anchor, &library) != 0 && library.dli_fname && library.dli_fname[0] == '/') {
        std::string path = library.dli_fname;
        return path.substr(0, path.rfind('/') + 1) + KILNWARE_LIBDIR_TO_STANDINS + "/" + name;
    }
    return std::string(KILNWARE_LIBEXECDIR) + "/" + name;
}

StandInTable& standIns() {
    // Never destroyed, so that tasks launched while the process exits still resolve.
    static StandInTable* const table = [] {
        auto* fresh = new StandInTable;
        fresh->programs["/Users/user/Desktop/dvdauthor"] = projectStandIn("kilnware-dvdauthor");
        fresh->programs["/usr/bin/hdiutil"] = projectStandIn("kilnware-hdiutil");
        return fresh;
    }();
    return *table;
}

}  // namespace

void StandIns::registerStandIn(const std::string& launchPath, const std::string& program) {
    StandInTable& table = standIns();
    std::lock_guard lock(table.mutex);
    table.programs[launchPath] = program;
}

void StandIns::unregisterStandIn(const std::string& launchPath) {
    StandInTable& table = standIns();
    std::lock_guard lock(table.mutex);
    table.programs.erase(launchPath);
}

std::string StandIns::resolve(const std::string& launchPath) {
    if (::access(launchPath.c_str(), X_OK) == 0) {
        return launchPath;
    }
    StandInTable& table = standIns();
    std::lock_guard lock(table.mutex);
    auto entry = table.programs.find(launchPath);
    return entry == table.programs.end() ? launchPath : entry->second;
}

}  // namespace kilnware::platform
