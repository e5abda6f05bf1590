#include <gtest/gtest.h>

#include <locale.h>

#include <cstdlib>
#include <filesystem>

#include <kilnware/Kilnware.h>
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware {
namespace {

// The at-index builder orders its dictionaries as the user's language does: accents and case do
// not push a name to the end. The collation is read from the environment once per process, so the
// test runs again in a process of its own, with the language set, whatever ran before it.
TEST(TrackOrder, AtIndexBuilderSortsByTheUsersLanguage) {
    if (!std::getenv("KILNWARE_TRACK_ORDER_CHILD")) {
        if (locale_t probe =
                newlocale(LC_ALL_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr))) {
            freelocale(probe);
        } else {
            GTEST_SKIP() << "en_US.UTF-8 is not generated (scripts/install-deps.sh does it)";
        }
        auto run = test::runProgram(std::filesystem::read_symlink("/proc/self/exe"),
                                    {"--gtest_filter=TrackOrder.*"},
                                    {"LC_ALL=en_US.UTF-8", "KILNWARE_TRACK_ORDER_CHILD=1"});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
        return;
    }
    test::TempDir dir;
    const std::string apple = dir.file("apple.wav");
    const std::string eclair = dir.file(
        "\xc3\x89"
        "clair.wav");
    const std::string zebra = dir.file("Zebra.wav");
    for (const auto& path : {apple, eclair, zebra}) {
        test::writeCDWav(path, 588);
    }
    VXAdd builder;
    platform::List info;
    ASSERT_TRUE(builder.discFileAddTrackRequest({zebra, apple, eclair}, &info, 0));
    std::vector<std::string> paths;
    for (const auto& element : info) {
        paths.push_back(platform::lookup(element, VXTrackFilePath).textValue().value_or("-"));
    }
    // Every dictionary goes to the front: the sorted order, reversed.
    EXPECT_EQ(paths, (std::vector<std::string>{zebra, eclair, apple}));
}

}  // namespace
}  // namespace kilnware
