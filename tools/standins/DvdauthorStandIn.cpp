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

#include <fcntl.h>
#include <sys/mman.h>
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
#include "platform/foundation/Folders.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UniqueFd.h"

using namespace kilnware::standins;
using kilnware::platform::UniqueFd;

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr int kNotInstalled = 127;
// The project kilnware writes is a few hundred bytes; this is far beyond any real one.
constexpr std::size_t kMaxProjectBytes = 1024 * 1024;

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

// Why the output folder open at `dest` (named `name`) cannot take a fresh VIDEO_TS; empty when
// it can.
std::string destProblem(int dest, const std::string& name) {
    const std::string videoTs = name + "/VIDEO_TS";
    struct stat info {};
    if (::fstatat(dest, "VIDEO_TS", &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return {};
    }
    if (!S_ISDIR(info.st_mode)) {
        return videoTs + " exists and is not a folder";
    }
    const UniqueFd folder = kilnware::platform::openFolderIn(dest, "VIDEO_TS");
    if (!folder) {
        return videoTs + ": " + std::strerror(errno);
    }
    if (!kilnware::platform::namesIn(folder.get()).empty()) {
        return videoTs +
               " already holds files; dvdauthor would add the new titles after them, so remove "
               "them first";
    }
    return {};
}

// `word` as a shell reads it back: as it is when it holds only plain characters, else quoted.
std::string shellWord(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-") ==
            std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// How a person makes DVD video of a file that holds none (a phone's video, say), beside it.
std::string conversionHint(const std::string& file) {
    const std::string stem = kilnware::platform::stringByDeletingPathExtension(file);
    const std::string made = stem + (file == stem + ".mpg" ? "-dvd.mpg" : ".mpg");
    return "; make DVD video of it first, e.g. ffmpeg -i " + shellWord(file) + " -target pal-dvd " +
           shellWord(made) + " (ntsc-dvd for NTSC)";
}

// A descriptor dvdauthor inherits, named as it will see it.
std::string inherited(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The project dvdauthor runs: the checked dest and files, by their descriptors, in an anonymous
// file that dvdauthor inherits (nothing of it stays behind, however this run ends).
UniqueFd checkedProject(const std::string& dest, const std::vector<std::string>& files,
                        std::string& error) {
    std::string text = "<dvdauthor dest=\"" + dest + "\">\n<vmgm />\n<titleset>\n<titles>\n<pgc>\n";
    for (const std::string& file : files) {
        text += "<vob file=\"" + file + "\"/>\n";
    }
    text += "</pgc>\n</titles>\n</titleset>\n</dvdauthor>\n";
    UniqueFd project(::memfd_create("kilnware-dvdauthor", 0));
    if (!project || kilnware::platform::writeAll(project.get(), text) != 0) {
        error = std::strerror(errno);
        project.reset();
    }
    return project;
}

// What dvdauthor is about to create, so that a failed run can be undone: all through descriptors
// of dest and of the folder that holds it, never by path.
class Output {
public:
    explicit Output(std::string destName) : name_(std::move(destName)) {}

    // Opens dest in its folder, making it first when it is not there (as dvdauthor would).
    bool open(std::string& error) {
        const auto slash = name_.rfind('/');
        const std::string folder = slash == 0 ? "/" : name_.substr(0, slash);
        base_ = name_.substr(slash + 1);
        parent_ = kilnware::platform::openFolderOnce(folder);
        if (!parent_) {
            error = std::strerror(errno);
            return false;
        }
        made_ = ::mkdirat(parent_.get(), base_.c_str(), 0777) == 0;
        if (!made_ && errno != EEXIST) {
            error = std::strerror(errno);
            return false;
        }
        dest_ = kilnware::platform::openFolderIn(parent_.get(), base_);
        if (!dest_) {
            error = errno == ENOTDIR || errno == ELOOP ? "not a folder" : std::strerror(errno);
            undo();
            return false;
        }
        struct stat info {};
        videoTsExisted_ = ::fstatat(dest_.get(), "VIDEO_TS", &info, AT_SYMLINK_NOFOLLOW) == 0;
        audioTsExisted_ = ::fstatat(dest_.get(), "AUDIO_TS", &info, AT_SYMLINK_NOFOLLOW) == 0;
        return true;
    }
    int fd() const { return dest_.get(); }

    // VIDEO_TS was empty or absent before the run, so every file in it now is dvdauthor's.
    void undo() const {
        if (dest_) {
            if (const UniqueFd videoTs =
                    kilnware::platform::openFolderIn(dest_.get(), "VIDEO_TS")) {
                for (const std::string& entry : kilnware::platform::namesIn(videoTs.get())) {
                    struct stat info {};
                    if (::fstatat(videoTs.get(), entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISREG(info.st_mode)) {
                        ::unlinkat(videoTs.get(), entry.c_str(), 0);
                    }
                }
            }
            // Removing a folder leaves one that still holds anything.
            if (!videoTsExisted_) {
                ::unlinkat(dest_.get(), "VIDEO_TS", AT_REMOVEDIR);
            }
            if (!audioTsExisted_) {
                ::unlinkat(dest_.get(), "AUDIO_TS", AT_REMOVEDIR);
            }
        }
        // dest itself, when this run made it and its name still holds it.
        struct stat mine {};
        struct stat there {};
        if (made_ &&
            (!dest_ || (::fstat(dest_.get(), &mine) == 0 &&
                        ::fstatat(parent_.get(), base_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino))) {
            ::unlinkat(parent_.get(), base_.c_str(), AT_REMOVEDIR);
        }
    }

private:
    std::string name_;
    std::string base_;
    UniqueFd parent_;
    UniqueFd dest_;
    bool made_ = false;
    bool videoTsExisted_ = false;
    bool audioTsExisted_ = false;
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
        Probe probe = probeVideoFile(inherited(fd.get()));
        if (!probe.standard) {
            say("refusing video file " + file + ": " + probe.problem +
                (probe.read ? conversionHint(file) : std::string()));
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
        titleNames.push_back(inherited(fd.get()));
        titles.push_back(std::move(fd));
    }

    // dvdauthor makes a dest that is not there yet; so does this, before it is opened.
    Output output(project->dest);
    if (!output.open(error)) {
        say("refusing dest " + project->dest + ": " + error);
        return kRefused;
    }
    // dest is this user's own folder, as the library makes it; dvdauthor inherits it.
    if (struct stat destInfo{}; ::fstat(output.fd(), &destInfo) != 0 ||
                                destInfo.st_uid != ::geteuid() ||
                                ::fcntl(output.fd(), F_SETFD, 0) != 0) {
        output.undo();
        say("refusing dest " + project->dest + ": it belongs to another user");
        return kRefused;
    }
    if (std::string problem = destProblem(output.fd(), project->dest); !problem.empty()) {
        say("refusing project " + projectPath + ": " + problem);
        return kRefused;
    }

    auto dvdauthor = findProgram("dvdauthor");
    if (!dvdauthor) {
        say("dvdauthor is not installed (looked on PATH and in /usr/bin)");
        return kNotInstalled;
    }
    const UniqueFd checked = checkedProject(inherited(output.fd()), titleNames, error);
    if (!checked) {
        say("cannot prepare the project for dvdauthor: " + error);
        return kRefused;
    }
    if (receivedSignal() != 0) {
        return 128 + receivedSignal();
    }
    ::setenv("VIDEO_FORMAT", standardName(*standard), 1);
    int status = runChild(*dvdauthor, {"-x", inherited(checked.get())});
    if (status != 0) {
        output.undo();
    }
    return status;
}
