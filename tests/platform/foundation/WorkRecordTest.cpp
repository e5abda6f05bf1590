#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <kilnware/platform/foundation/FileManager.h>

#include "platform/foundation/WorkRecord.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::platform {
namespace {

using test::TempDir;

// A user without privileges: "nobody", which every Debian system has.
constexpr uid_t kUser = 65534;

// Runs `body` in a child process as `user`, without any group or privilege of the test's;
// returns what it said went wrong, empty when nothing did.
std::string asUser(uid_t user, const std::function<std::string()>& body) {
    int answer[2];
    if (::pipe(answer) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(answer[0]);
        std::string said = "could not become the user";
        if (::setgroups(0, nullptr) == 0 && ::setresgid(user, user, user) == 0 &&
            ::setresuid(user, user, user) == 0) {
            said = body();
        }
        const ssize_t written = ::write(answer[1], said.data(), said.size());
        ::_exit(written == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    ::close(answer[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(answer[0], buffer, sizeof buffer)) > 0;) {
        said.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(answer[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? said : "the child failed: " + said;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// A record proves only the work of the user that runs the library. The user runs without
// privileges, in a folder of theirs that holds files of another user (root): the user could
// remove them, and the record must never take them for work, however they came there.
TEST(WorkRecord, ProvesOnlyTheWorkOfTheUserThatRunsIt) {
    ASSERT_EQ(::geteuid(), 0u) << "the test makes files of two users";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string folder = dir.file("home");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), kUser, kUser), 0);
    const std::string image = folder + "/trip.iso", theirs = folder + "/theirs.iso";
    const FileManager& files = *FileManager::defaultManager();

    // The user makes an image and records it; then it becomes root's, keeping its size and time.
    EXPECT_EQ(asUser(kUser,
                     [&]() -> std::string {
                         std::string error;
                         auto record = WorkRecord::open(image, error);
                         return record && record->makeFile(image, "image", error)
                                    ? ""
                                    : "could not make the image: " + error;
                     }),
              "");
    test::writeFile(theirs, "root's");
    ASSERT_EQ(::chown(image.c_str(), 0, 0), 0);
    EXPECT_EQ(asUser(kUser,
                     [&]() -> std::string {
                         std::string error;
                         auto record = WorkRecord::open(image, error);
                         if (!record) {
                             return "no record: " + error;
                         }
                         if (record->proves(image) || record->removeIfProven(image, files, error)) {
                             return "root's file is taken for the user's work";
                         }
                         return record->remember(theirs, error) ? "root's file is recorded as work"
                                                                : "";
                     }),
              "");
    EXPECT_TRUE(exists(image));
    EXPECT_TRUE(exists(theirs));

    // The user's again, it is proven and removed: nothing but the owner stood in the way.
    ASSERT_EQ(::chown(image.c_str(), kUser, kUser), 0);
    EXPECT_EQ(asUser(kUser,
                     [&]() -> std::string {
                         std::string error;
                         auto record = WorkRecord::open(image, error);
                         return record && record->removeIfProven(image, files, error)
                                    ? ""
                                    : "not removed: " + error;
                     }),
              "");
    EXPECT_FALSE(exists(image));
    EXPECT_FALSE(exists(folder + "/.trip.iso.kilnware-work"));  // an empty record goes

    // A record file of another user is none of ours, even to root, who could read it.
    const std::string record = folder + "/.theirs.iso.kilnware-work";
    test::writeFile(record, "");
    ASSERT_EQ(::chmod(record.c_str(), 0600), 0);
    ASSERT_EQ(::chown(record.c_str(), kUser, kUser), 0);
    std::string error;
    EXPECT_FALSE(WorkRecord::open(theirs, error));
    EXPECT_EQ(error, record + " is not a record of this library's work");
}

}  // namespace
}  // namespace kilnware::platform
