#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>

#include <kilnware/platform/foundation/Task.h>

#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

using Words = std::vector<std::string>;

const std::string kEcho = KILNWARE_ARGS_ECHO;

// What the echo helper recorded: its argc, then every argv entry.
Words recordedWords(const std::string& path) {
    const std::string text = test::readFile(path);
    Words words;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        words.push_back(text.substr(start, end - start));
    }
    return words;
}

TEST(Task, PassesArgumentsUnchangedAndKeepsTheExitStatus) {
    test::TempDir dir;
    std::string out = dir.file("argv");
    Words arguments{out, "two words", "\"quoted\" 'single'", "line\nbreak", "", "$HOME *", "a |"};
    Task task;
    task.setLaunchPath(kEcho);
    task.setArguments(arguments);
    EXPECT_FALSE(task.terminationStatus());
    ASSERT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.terminationStatus(), 0);
    EXPECT_EQ(task.resolvedPath(), kEcho);

    Words expected{std::to_string(arguments.size() + 1), kEcho};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(recordedWords(out), expected);

    EXPECT_FALSE(task.launch());  // at most once

    // Destroying a running task waits for it.
    {
        Task running;
        running.setLaunchPath(kEcho);
        running.setArguments({out, "done"});
        ASSERT_TRUE(running.launch());
    }
    EXPECT_EQ(recordedWords(out), (Words{"3", kEcho, out, "done"}));

    // The child's own exit status, or 128 + the signal that ended it.
    const std::pair<Words, int> endings[] = {
        {{"--exit", "3"}, 3}, {{"--signal", std::to_string(SIGTERM)}, 128 + SIGTERM}};
    for (const auto& [words, status] : endings) {
        Task ended;
        ended.setLaunchPath(kEcho);
        ended.setArguments(words);
        ASSERT_TRUE(ended.launch());
        ended.waitUntilExit();
        EXPECT_EQ(ended.terminationStatus(), status);
    }
}

TEST(Task, AProgramThatCannotStartLogsOnceAndReads127) {
    test::TempDir dir;
    std::string notExecutable = dir.file("plain");
    std::ofstream(notExecutable) << "data";
    ASSERT_EQ(::chmod(notExecutable.c_str(), 0644), 0);
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case& c : {Case{dir.file("missing"), "No such file or directory"},
                          Case{notExecutable, "Permission denied"}}) {
        SCOPED_TRACE(c.path);
        test::LogCapture capture;
        Task task;
        task.setLaunchPath(c.path);
        task.setArguments({"x"});
        EXPECT_FALSE(task.launch());
        task.waitUntilExit();  // returns at once
        EXPECT_EQ(task.terminationStatus(), Task::kLaunchFailedStatus);
        EXPECT_EQ(capture.lines(), Words{"Could not start " + c.path + ": " + c.reason});
    }

    test::LogCapture capture;
    Task unset;
    EXPECT_FALSE(unset.launch());
    EXPECT_EQ(unset.terminationStatus(), Task::kLaunchFailedStatus);
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(StandIns, AMissingFixedPathRunsItsStandInWithTheSameArguments) {
    test::TempDir dir;
    std::string fixed = dir.file("Applications/tool");  // never created
    std::string out = dir.file("argv");
    StandIns::registerStandIn(fixed, kEcho);
    EXPECT_EQ(StandIns::resolve(fixed), kEcho);
    // Something executable at the path itself wins over the stand-in.
    StandIns::registerStandIn(kEcho, "/nonexistent/other");
    EXPECT_EQ(StandIns::resolve(kEcho), kEcho);
    StandIns::unregisterStandIn(kEcho);

    Task task;
    task.setLaunchPath(fixed);
    task.setArguments({out, "a b", ""});
    ASSERT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 0);
    EXPECT_EQ(task.resolvedPath(), kEcho);
    // The program sees the path it was asked for as its name.
    EXPECT_EQ(recordedWords(out), (Words{"4", fixed, out, "a b", ""}));

    StandIns::unregisterStandIn(fixed);
    EXPECT_EQ(StandIns::resolve(fixed), fixed);
}

}  // namespace
}  // namespace kilnware::platform
