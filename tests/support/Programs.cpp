#include "tests/support/Programs.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace kilnware::test {

namespace {

// Starts `program` with the file actions given; the pid.
pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment, posix_spawn_file_actions_t& actions) {
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view variable(*entry);
        const auto name = variable.substr(0, variable.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& e) { return e.starts_with(name); })) {
            variables.emplace_back(variable);
        }
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    int failed = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::system_error(
            failed, std::generic_category(),
            "cannot start " + program + " (scripts/install-deps.sh installs it)");
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment) {
    TempDir capture;
    std::string outPath = capture.file("out");
    std::string errPath = capture.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    RunResult result;
    result.status = waitFor(spawn(program, arguments, environment, actions));
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

StartedProgram::StartedProgram(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    out = ends[0];
    try {
        pid = spawn(program, arguments, environment, actions);
    } catch (...) {
        ::close(ends[1]);
        ::close(out);
        throw;
    }
    ::close(ends[1]);
}

StartedProgram::~StartedProgram() {
    if (out >= 0) {
        ::close(out);
    }
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitFor(pid);
    }
}

bool StartedProgram::readUntil(const std::string& text) {
    char buffer[4096];
    while (out >= 0 && said.find(text) == std::string::npos) {
        // A bound only to fail a program that hangs, never to wait for one.
        pollfd ready{out, POLLIN, 0};
        if (::poll(&ready, 1, 240'000) == 0) {
            hung = true;
            return false;
        }
        const ssize_t n = ::read(out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        said.append(buffer, static_cast<std::size_t>(n));
    }
    return said.find(text) != std::string::npos;
}

int StartedProgram::finish() {
    readUntil(std::string(1, '\0'));  // to the end: the command never writes a NUL
    ::close(out);
    out = -1;
    if (hung) {
        ::kill(pid, SIGKILL);
    }
    const int status = waitFor(std::exchange(pid, -1));
    return hung ? -1 : status;
}

OtherUser otherUser() {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) {
        throw std::runtime_error("there is no user nobody to act as another user");
    }
    return {nobody->pw_uid, nobody->pw_gid};
}

pid_t startAsOtherUser(const std::function<bool()>& work) {
    const OtherUser user = otherUser();
    const pid_t child = ::fork();
    if (child == 0) {
        const bool becameOther =
            ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0;
        ::_exit(becameOther && work() ? 0 : 1);
    }
    return child;
}

bool asOtherUser(const std::function<bool()>& work) {
    const pid_t child = startAsOtherUser(work);
    return child > 0 && waitFor(child) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void ageFile(const std::string& path) {
    const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), old, 0) != 0) {
        throw std::system_error(errno, std::generic_category(), "utimensat " + path);
    }
}

std::string durabilityProblem(const std::string& calls, const std::string& folder,
                              const std::string& name) {
    struct stat file {};
    struct stat where {};
    if (::stat((folder + "/" + name).c_str(), &file) != 0 || ::stat(folder.c_str(), &where) != 0) {
        return name + " is not there";
    }
    std::vector<std::string> lines;
    std::istringstream in(readFile(calls));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    const std::string inode = std::to_string(file.st_ino);
    const auto named = std::find(lines.begin(), lines.end(), "name " + inode + " " + name);
    if (named == lines.end()) {
        return name + " was never named";
    }
    const auto flushed =
        std::find(std::make_reverse_iterator(named), lines.rend(), "fsync " + inode);
    if (flushed == lines.rend()) {
        return name + " was named before it was flushed";
    }
    if (std::find(named, lines.end(), "fsync " + std::to_string(where.st_ino)) == lines.end()) {
        return "the folder was not flushed after " + name + " was named";
    }
    return "";
}

}  // namespace kilnware::test
