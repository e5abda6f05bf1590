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
// - dvdauthor adds its title sets after whatever DEST/VIDEO_TS already holds, which would put
//   stale titles on the disc: a VIDEO_TS that is not empty is refused. When dvdauthor fails, what
//   it wrote is removed again so that the next try starts clean.
//
// Exit status: 2 for a wrong argument vector, 1 when the project is refused (nothing is run),
// 127 when dvdauthor is not installed, otherwise dvdauthor's own (128 + signal if it was killed).
// SIGTERM, SIGINT and SIGHUP are passed on to dvdauthor.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Child.h"
#include "ProjectFile.h"
#include "VideoFormat.h"

using namespace kilnware::standins;

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

// dvdauthor's own rules for names it reads: "cmd|" runs cmd, "-" is standard input.
std::string commandNameProblem(const std::string& name) {
    if (!name.empty() && name.back() == '|') {
        return "the name ends in '|', so dvdauthor would run it as a shell command";
    }
    if (name == "-") {
        return "dvdauthor would read standard input instead of a file named \"-\"";
    }
    return {};
}

bool readProjectFile(const std::string& path, std::string& text, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = "not a regular file";
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMaxProjectBytes) {
            error = "larger than any project (over 1 MB)";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
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

// What dvdauthor is about to create, so that a failed run can be undone.
struct Output {
    std::string dest;
    bool destExisted;
    bool videoTsExisted;
    bool audioTsExisted;

    explicit Output(std::string folder)
        : dest(std::move(folder)),
          destExisted(exists(dest)),
          videoTsExisted(exists(dest + "/VIDEO_TS")),
          audioTsExisted(exists(dest + "/AUDIO_TS")) {}

    // VIDEO_TS was empty or absent before the run, so every file in it now is dvdauthor's.
    void undo() const {
        std::string videoTs = dest + "/VIDEO_TS";
        if (DIR* folder = ::opendir(videoTs.c_str())) {
            std::vector<std::string> names;
            while (dirent* entry = ::readdir(folder)) {
                names.emplace_back(entry->d_name);
            }
            ::closedir(folder);
            for (const std::string& name : names) {
                std::string path = videoTs + "/" + name;
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
            ::rmdir(dest.c_str());
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string_view(argv[1]) != "-x" || argv[2][0] == '\0') {
        return usage();
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
    std::optional<VideoStandard> standard;
    std::string standardSource;
    for (const std::string& file : project->videoFiles) {
        if (std::string problem = commandNameProblem(file); !problem.empty()) {
            say("refusing video file " + file + ": " + problem);
            return kRefused;
        }
        Probe probe = probeVideoFile(file);
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
    }

    if (std::string problem = destProblem(project->dest); !problem.empty()) {
        say("refusing project " + projectPath + ": " + problem);
        return kRefused;
    }

    auto dvdauthor = findProgram("dvdauthor");
    if (!dvdauthor) {
        say("dvdauthor is not installed (looked on PATH and in /usr/bin)");
        return kNotInstalled;
    }
    if (receivedSignal() != 0) {
        return 128 + receivedSignal();
    }
    ::setenv("VIDEO_FORMAT", standardName(*standard), 1);
    Output output(project->dest);
    int status = runChild(*dvdauthor, {"-x", projectPath});
    if (status != 0) {
        output.undo();
    }
    return status;
}
