#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kilnware::test {

// What a program said and how it ended: its exit status, or 128 + the signal that ended it.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` (looked up in PATH when it holds no '/') with `arguments`, without a shell, its
// standard input empty and its output collected. `environment` entries ("NAME=value") replace or
// add to this process's own. Throws when the program cannot be started, failing the test.
RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment = {});

// A program started as runProgram starts it, but not waited for: its standard output comes
// through a pipe, so that a test can act just when the program has said it reached a point.
struct StartedProgram {
    StartedProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment = {});
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    ~StartedProgram();  // kills a program that was not finished, as when a test stopped early

    pid_t pid = -1;
    int out = -1;  // the reading end; closed by finish()

    // Reads the output until `text` has come (true), or the program closed it or has said
    // nothing for four minutes (false: `hung`; ctest gives up at five).
    bool readUntil(const std::string& text);
    // Reads the rest of the output and waits for the program: its status as in RunResult, or -1
    // when it hung and was killed.
    int finish();

    std::string said;  // everything read so far
    bool hung = false;
};

// Another user of the machine: `nobody`, which the tests (run as root) act as when they attack
// the library the way a user who shares a folder with it could.
struct OtherUser {
    uid_t uid;
    gid_t gid;
};
OtherUser otherUser();
// Runs `work` in a child process as otherUser(); true when it returned true. Only system calls
// belong in `work` (the child of a threaded process).
bool asOtherUser(const std::function<bool()>& work);
// The same, not waited for: the child's pid, for the test to end and collect.
pid_t startAsOtherUser(const std::function<bool()>& work);

// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool pathExists(const std::string& path);
// Every name in `folder`, hidden ones included, sorted.
std::vector<std::string> filesIn(const std::string& folder);
// Gives `path` an old modification time, so that a rewrite within the clock's tick still shows.
void ageFile(const std::string& path);

// Checks the record that tests/helpers/io_shim.cpp kept of the calls in `folder` against the
// order that makes the file `name` there last: its bytes flushed, then the name given, then the
// folder flushed. What went wrong; empty when nothing.
std::string durabilityProblem(const std::string& calls, const std::string& folder,
                              const std::string& name);

}  // namespace kilnware::test
