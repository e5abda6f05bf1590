#include <kilnware/platform/foundation/Task.h>

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <kilnware/platform/foundation/Log.h>

extern char** environ;

namespace kilnware::platform {

namespace {

// posix_spawn attributes that give the child a clean signal state: nothing blocked, and the
// dispositions a host commonly ignores for its own sake back to their defaults.
class SpawnAttributes {
public:
    SpawnAttributes() {
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
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &reset);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
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

}  // namespace

Task::~Task() {
    if (pid_ > 0 && !exitStatus_) {
        reap(true);
    }
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

    SpawnAttributes attributes;
    pid_t pid = 0;
    int result =
        posix_spawn(&pid, resolvedPath_.c_str(), nullptr, attributes.get(), argv.data(), environ);
    if (result != 0) {
        return refuse(std::strerror(result));
    }
    pid_ = pid;
    return true;
}

void Task::reap(bool block) const {
    if (pid_ <= 0 || exitStatus_) {
        return;
    }
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return;
    }
    if (result < 0) {
        // Someone else collected the child (a host that ignores SIGCHLD): it has ended, somehow.
        int code = errno;
        Log::write("Lost track of %@ (process %@): %@",
                   {launchPath_, std::to_string(pid_), std::strerror(code)});
        exitStatus_ = kUnknownStatus;
    } else if (WIFSIGNALED(status)) {
        exitStatus_ = 128 + WTERMSIG(status);
    } else {
        exitStatus_ = WEXITSTATUS(status);
    }
}

void Task::waitUntilExit() {
    reap(true);
}

bool Task::isRunning() const {
    reap(false);
    return pid_ > 0 && !exitStatus_;
}

std::optional<int> Task::terminationStatus() const {
    reap(false);
    return exitStatus_;
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
