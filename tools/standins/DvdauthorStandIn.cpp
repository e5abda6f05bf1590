// kilnware-dvdauthor: stands in for the dvdauthor that kilnware runs, as
// "/Users/user/Desktop/dvdauthor -x PROJECT", to turn MPEG-2 files into a VIDEO_TS folder. It
// checks the project, then runs Debian's dvdauthor (first on $PATH, else /usr/bin) with the same
// two arguments and exits with its status.
//
// What it adds to dvdauthor, and why:
// - dvdauthor fails ("no video format") unless it is told PAL or NTSC. The standard
//   is read from the first MPEG video sequence header of each title (size and frame rate) and
//   handed over as VIDEO_FORMAT; titles of different standards cannot share a disc and are
//   refused.
// - dvdauthor hands any name that ends in '|' to "sh -c" and reads "-" from standard input, both
//   for the project file and for each title. Such names are refused, as is anything in the project
//   that the reader does not know (see ProjectFile.h), so every file dvdauthor opens is one that
//   was checked. A leading '|' means a command only for files dvdauthor writes, which a project
//   never names, so it is left alone.
// - Only absolute paths are taken, of a folder for dest and of plain files for the titles. Each is
//   opened and checked here, and dvdauthor is handed the opened descriptors (/proc/self/fd/N)
//   through a project of its own, with /dev/null as its input: a link swapped in after the check,
//   or a name dvdauthor reads specially ("&N" reads descriptor N), changes nothing.
// - dvdauthor adds its title sets after whatever DEST/VIDEO_TS already holds, which would put
//   stale titles on the disc: a VIDEO_TS that is not empty is refused. When dvdauthor fails, what
//   it wrote is removed again so that the next try starts clean.
//
// Exit status: 2 for a wrong argument vector, 1 when the project is refused (nothing is run),
// 127 when dvdauthor is not installed, otherwise dvdauthor's own (128 + signal if it was killed).
// SIGTERM, SIGINT and SIGHUP are passed on to dvdauthor.

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Child.h"
#include "ProjectFile.h"
#include "VideoFormat.h"
#include "platform/foundation/UniqueFd.h"

using namespace kilnware::standins;
using kilnware::platform::UniqueFd;

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr int kNotInstalled = 127;
// The project kilnware writes is a few hundred bytes; this is far beyond any real one.
constexpr std::size_t kMaxProjectBytes = 1024 * 1024;

void say(const std::string& message) {
    std::fprintf(stderr, "kilnware-dvdauthor: %s\n", message.c_str());
}

int usage() {
    std::fputs("usage: kilnware-dvdauthor -x PROJECT.xml\n", stderr);
    return kUsage;
}

// dvdauthor's own rules for names it reads: "cmd|" runs cmd, "-" is standard input, "&N" reads
// descriptor N. An absolute path is none of these.
std::string commandNameProblem(const std::string& name) {
    if (name.empty() || name.front() != '/') {
        return "only an absolute path is taken";
    }
    if (!name.empty() && name.back() == '|') {
        return "the name ends in '|', so dvdauthor would run it as a shell command";
    }
    if (name == "-") {
        return "dvdauthor would read standard input instead of a file named \"-\"";
    }
    return {};
}

bool readProjectFile(const std::string& path, std::string& text, std::string& error) {
    // The project is the caller's own file: not a link, and of this user, so that a project put
    // in its place by someone else cannot choose where dvdauthor writes.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (!fd) {
        error = errno == ELOOP ? "it is a link" : std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        error = S_ISREG(info.st_mode) ? "it belongs to another user" : "not a regular file";
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMaxProjectBytes) {
            error = "larger than any project (over 1 MB)";
            return false;
        }
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Why the output folder cannot take a fresh VIDEO_TS; empty when it can.
std::string destProblem(const std::string& dest) {
    struct stat info {};
    if (::stat(dest.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        return dest + " exists and is not a folder";
    }
    std::string videoTs = dest + "/VIDEO_TS";
    if (::lstat(videoTs.c_str(), &info) != 0) {
        return {};
    }
    if (!S_ISDIR(info.st_mode)) {
        return videoTs + " exists and is not a folder";
    }
    DIR* folder = ::opendir(videoTs.c_str());
    if (!folder) {
        return videoTs + ": " + std::strerror(errno);
    }
    bool empty = true;
    while (dirent* entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(folder);
    if (!empty) {
        return videoTs +
               " already holds files; dvdauthor would add the new titles after them, so remove "
               "them first";
    }
    return {};
}

// A descriptor dvdauthor inherits, named as it will see it.
std::string inherited(const UniqueFd& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

// The project dvdauthor runs: the checked dest and files, by their descriptors. Written into a
// folder of this run's own, removed when it goes.
class CheckedProject {
public:
    ~CheckedProject() {
        if (!folder_.empty()) {
            ::unlink((folder_ + "/project.xml").c_str());
            ::rmdir(folder_.c_str());
        }
    }
    bool write(const std::string& dest, const std::vector<std::string>& files, std::string& error) {
        std::string pattern = "/tmp/kilnware-dvdauthor-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            error = std::strerror(errno);
            return false;
        }
        folder_ = pattern;
        std::string text =
            "<dvdauthor dest=\"" + dest + "\">\n<vmgm />\n<titleset>\n<titles>\n<pgc>\n";
        for (const std::string& file : files) {
            text += "<vob file=\"" + file + "\"/>\n";
        }
        text += "</pgc>\n</titles>\n</titleset>\n</dvdauthor>\n";
        UniqueFd out(
            ::open(path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out ||
            ::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            out.close() != 0) {
            error = std::strerror(errno);
            return false;
        }
        return true;
    }
    std::string path() const { return folder_ + "/project.xml"; }

private:
    std::string folder_;
};

// What dvdauthor is about to create, so that a failed run can be undone.
struct Output {
    std::string name;  // dest as the project names it
    std::string dest;  // the checked folder, through its descriptor
    bool destExisted;
    bool videoTsExisted = false;
    bool audioTsExisted = false;

    explicit Output(std::string destName) : name(std::move(destName)), destExisted(exists(name)) {}
    void opened(std::string folder) {
        dest = std::move(folder);
        videoTsExisted = exists(dest + "/VIDEO_TS");
        audioTsExisted = exists(dest + "/AUDIO_TS");
    }

    // VIDEO_TS was empty or absent before the run, so every file in it now is dvdauthor's.
    void undo() const {
        std::string videoTs = dest + "/VIDEO_TS";
        if (DIR* folder = ::opendir(videoTs.c_str())) {
            std::vector<std::string> names;
            while (dirent* entry = ::readdir(folder)) {
                names.emplace_back(entry->d_name);
            }
            ::closedir(folder);
            for (const std::string& entry : names) {
                std::string path = videoTs + "/" + entry;
                struct stat info {};
                if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
                    ::unlink(path.c_str());
                }
            }
        }
        // rmdir leaves a folder that still holds anything.
        if (!videoTsExisted) {
            ::rmdir(videoTs.c_str());
        }
        if (!audioTsExisted) {
            ::rmdir((dest + "/AUDIO_TS").c_str());
        }
        if (!destExisted) {
            ::rmdir(name.c_str());
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string_view(argv[1]) != "-x" || argv[2][0] == '\0') {
        return usage();
    }
    // No stand-in outlives whoever started it.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        return 128 + SIGTERM;
    }
    passOnTerminationSignals();
    const std::string projectPath = argv[2];

    if (std::string problem = commandNameProblem(projectPath); !problem.empty()) {
        say("refusing project " + projectPath + ": " + problem);
        return kRefused;
    }
    std::string text;
    std::string error;
    if (!readProjectFile(projectPath, text, error)) {
        say("cannot read project " + projectPath + ": " + error);
        return kRefused;
    }
    auto project = readProject(text, error);
    if (!project) {
        say("refusing project " + projectPath + ": " + error);
        return kRefused;
    }
    if (std::string problem = commandNameProblem(project->dest); !problem.empty()) {
        say("refusing dest " + project->dest + ": " + problem);
        return kRefused;
    }
    // Each title is opened once, checked, and handed over as the descriptor that was checked.
    std::vector<kilnware::platform::UniqueFd> titles;
    std::vector<std::string> titleNames;
    std::optional<VideoStandard> standard;
    std::string standardSource;
    for (const std::string& file : project->videoFiles) {
        if (std::string problem = commandNameProblem(file); !problem.empty()) {
            say("refusing video file " + file + ": " + problem);
            return kRefused;
        }
        UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            say("refusing video file " + file + ": " +
                (fd ? std::string("not a regular file") : std::strerror(errno)));
            return kRefused;
        }
        Probe probe = probeVideoFile(inherited(fd));
        if (!probe.standard) {
            say("refusing video file " + file + ": " + probe.problem);
            return kRefused;
        }
        if (standard && *standard != *probe.standard) {
            say(std::string("refusing video file ") + file + ": it is " +
                standardName(*probe.standard) + " but " + standardSource + " is " +
                standardName(*standard) + "; one disc takes one television standard");
            return kRefused;
        }
        standard = probe.standard;
        standardSource = file;
        titleNames.push_back(inherited(fd));
        titles.push_back(std::move(fd));
    }

    // dvdauthor makes a dest that is not there yet; so does this, before it is opened.
    Output output(project->dest);
    if (!output.destExisted && ::mkdir(project->dest.c_str(), 0777) != 0) {
        say("cannot make dest " + project->dest + ": " + std::strerror(errno));
        return kRefused;
    }
    UniqueFd dest(::open(project->dest.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!dest) {
        const int reason = errno;
        output.undo();
        say("refusing dest " + project->dest + ": " +
            (reason == ENOTDIR || reason == ELOOP ? std::string("not a folder")
                                                  : std::strerror(reason)));
        return kRefused;
    }
    // dest is this user's own folder, as the library makes it.
    if (struct stat destInfo{};
        ::fstat(dest.get(), &destInfo) != 0 || destInfo.st_uid != ::geteuid()) {
        output.undo();
        say("refusing dest " + project->dest + ": it belongs to another user");
        return kRefused;
    }
    output.opened(inherited(dest));
    if (std::string problem = destProblem(inherited(dest)); !problem.empty()) {
        say("refusing project " + projectPath + ": " + problem);
        return kRefused;
    }

    auto dvdauthor = findProgram("dvdauthor");
    if (!dvdauthor) {
        say("dvdauthor is not installed (looked on PATH and in /usr/bin)");
        return kNotInstalled;
    }
    CheckedProject checked;
    if (!checked.write(inherited(dest), titleNames, error)) {
        say("cannot prepare the project for dvdauthor: " + error);
        return kRefused;
    }
    if (receivedSignal() != 0) {
        return 128 + receivedSignal();
    }
    ::setenv("VIDEO_FORMAT", standardName(*standard), 1);
    int status = runChild(*dvdauthor, {"-x", checked.path()});
    if (status != 0) {
        output.undo();
    }
    return status;
}
