// Stands between a program and the calls that put a file on the disk and give it its name
// (fsync, close, rename, linkat), for the tests of durability: it records their order on the
// files of one folder, and makes one kind of them fail there as a failing disk would. Preloaded
// into a program (LD_PRELOAD), it takes its orders from the environment and takes itself out of
// it, so that the program's children run without it:
//
//   KILNWARE_IO_WATCH  the folder whose files and names are watched (an absolute path)
//   KILNWARE_IO_LOG    a file to which each watched call adds a line: "fsync INODE" (a file or the
//                      folder itself), "close INODE", "name INODE NAME" (once the name is given)
//   KILNWARE_IO_FAIL   what fails with EIO there: fsync (of a file), fsync-folder, close or
//                      name; every such call, or with ":N" (fsync:2) only the Nth; a call that
//                      fails adds "fail KIND" to the record
//
// Linked into a test program, it takes them from kilnware_io_shim_configure (IoShim.h), and
// leaves close alone.

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

struct Orders {
    std::string watch;
    std::string fail;
    int log = -1;
};

std::mutex& ordersMutex() {
    static auto* mutex = new std::mutex;  // never destroyed: closes run until the very end
    return *mutex;
}
Orders& orders() {
    static auto* given = new Orders;
    return *given;
}
std::atomic<bool> active{false};
std::atomic<int> counted{0};  // calls of the kind that fails at its Nth ("fsync:N")

Orders current() {
    std::lock_guard lock(ordersMutex());
    return orders();
}

template <typename Function>
Function* next(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}
// The calls this one stands in front of.
int realFsync(int fd) {
    static auto* real = next<int(int)>("fsync");
    return real(fd);
}
int realClose(int fd) {
    static auto* real = next<int(int)>("close");
    return real(fd);
}

std::string pathOf(int fd) {
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

bool inside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

void record(const Orders& given, const std::string& line) {
    if (given.log >= 0) {
        const std::string whole = line + "\n";
        [[maybe_unused]] const ssize_t n = ::write(given.log, whole.data(), whole.size());
    }
}

// The path a name relative to `folder` stands for.
std::string pathAt(int folder, const char* name) {
    if (name[0] == '/') {
        return name;
    }
    if (folder == AT_FDCWD) {
        char cwd[4096];
        return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + name : name;
    }
    return pathOf(folder) + "/" + name;
}

// Whether this call of `kind` fails as ordered ("KIND" every one, "KIND:N" the Nth); a call that
// fails is recorded ("fail KIND").
bool fails(const Orders& given, const std::string& kind) {
    bool now = given.fail == kind;
    if (given.fail.starts_with(kind + ":")) {
        now = ++counted == std::atoi(given.fail.c_str() + kind.size() + 1);
    }
    if (now) {
        record(given, "fail " + kind);
        errno = EIO;
    }
    return now;
}

// A call that gives the name `to` in `folder`: it fails as ordered, or is made and recorded.
template <typename Call>
int naming(int folder, const char* to, Call call) {
    if (!active) {
        return call();
    }
    const Orders given = current();
    const std::string target = pathAt(folder, to);
    if (!inside(target, given.watch)) {
        return call();
    }
    if (fails(given, "name")) {
        return -1;
    }
    const int done = call();
    struct stat info {};
    if (done == 0 && ::lstat(target.c_str(), &info) == 0) {
        record(given,
               "name " + std::to_string(info.st_ino) + " " + target.substr(given.watch.size() + 1));
    }
    return done;
}

void configure(const char* watch, const char* fail, const char* log) {
    std::lock_guard lock(ordersMutex());
    Orders& given = orders();
    if (given.log >= 0) {
        realClose(given.log);
    }
    given.watch = watch ? watch : "";
    given.fail = fail ? fail : "";
    given.log = log && *log ? ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    counted = 0;
    active = !given.watch.empty();
}

}  // namespace

extern "C" {

void kilnware_io_shim_configure(const char* watch, const char* fail, const char* log) {
    configure(watch, fail, log);
}

int fsync(int fd) {
    if (active) {
        const Orders given = current();
        const std::string path = pathOf(fd);
        struct stat info {};
        const bool folder = path == given.watch;
        if ((folder || inside(path, given.watch)) && ::fstat(fd, &info) == 0) {
            record(given, "fsync " + std::to_string(info.st_ino));
            if (fails(given, folder ? "fsync-folder" : "fsync")) {
                return -1;
            }
        }
    }
    return realFsync(fd);
}

#ifdef KILNWARE_IO_SHIM_PRELOAD
// Only where preloaded: linked into a test program, a close of its own would stand in front of
// every close of the program, and the image recorder's outputs are flushed before they close.
int close(int fd) {
    if (!active) {
        return realClose(fd);
    }
    const Orders given = current();
    struct stat info {};
    const bool watched =
        inside(pathOf(fd), given.watch) && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const int closed = realClose(fd);
    if (watched && closed == 0) {
        record(given, "close " + std::to_string(info.st_ino));
        if (fails(given, "close")) {
            return -1;  // as a write error that only the close reports
        }
    }
    return closed;
}
#endif

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    static auto* real = next<int(int, const char*, int, const char*, unsigned)>("renameat2");
    return naming(toFolder, to, [&] { return real(fromFolder, from, toFolder, to, flags); });
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    return renameat2(fromFolder, from, toFolder, to, 0);
}

int rename(const char* from, const char* to) {
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    static auto* real = next<int(int, const char*, int, const char*, int)>("linkat");
    return naming(toFolder, to, [&] { return real(fromFolder, from, toFolder, to, flags); });
}

}  // extern "C"

#ifdef KILNWARE_IO_SHIM_PRELOAD
// Preloaded: the orders come from the environment, and the program's children run without them.
__attribute__((constructor)) static void fromEnvironment() {
    configure(std::getenv("KILNWARE_IO_WATCH"), std::getenv("KILNWARE_IO_FAIL"),
              std::getenv("KILNWARE_IO_LOG"));
    for (const char* name :
         {"LD_PRELOAD", "KILNWARE_IO_WATCH", "KILNWARE_IO_FAIL", "KILNWARE_IO_LOG"}) {
        ::unsetenv(name);
    }
}
#endif
