#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include <kilnware/Kilnware.h>
#include <kilnware/platform/discrecording/DRMSF.h>

namespace kilnware::platform {
namespace {

std::string timeText(std::uint32_t frames) {
    return DRMSF::msfWithFrames(frames).descriptionWithFormat(VXTimeFormat);
}

TEST(DRMSF, TimeTextsDropLeftoverFramesAndLetMinutesGrow) {
    EXPECT_EQ(timeText(0), "0:00");
    EXPECT_EQ(timeText(74), "0:00");
    EXPECT_EQ(timeText(75), "0:01");
    EXPECT_EQ(timeText(4'499), "0:59");
    EXPECT_EQ(timeText(4'500), "1:00");
    EXPECT_EQ(timeText(2'295'104), "510:01");
    // The whole unsigned range, without wrapping.
    EXPECT_EQ(timeText(UINT32_MAX), "954437:10");
}

TEST(DRMSF, FormatDirectivesWidthsAndLiterals) {
    const DRMSF msf = DRMSF::msfWithFrames(4 * 4'500 + 7 * 75 + 3);
    EXPECT_EQ(msf.descriptionWithFormat("%m:%s.%f"), "4:7.3");
    EXPECT_EQ(msf.descriptionWithFormat("%02m:%02s:%02f"), "04:07:03");
    EXPECT_EQ(msf.descriptionWithFormat("[%3m]"), "[  4]");
    EXPECT_EQ(msf.descriptionWithFormat("100%% %m"), "100% 4");
    EXPECT_EQ(msf.descriptionWithFormat(""), "");
    // Unknown or unfinished directives stay as they are.
    EXPECT_EQ(msf.descriptionWithFormat("%x %m"), "%x 4");
    EXPECT_EQ(msf.descriptionWithFormat("%02"), "%02");
    EXPECT_EQ(msf.descriptionWithFormat("%"), "%");
    EXPECT_EQ(msf.descriptionWithFormat("%-2m"), "%-2m");
    // A width no time needs is refused rather than padded out.
    EXPECT_EQ(msf.descriptionWithFormat("%99999999999m"), "%99999999999m");
}

}  // namespace
}  // namespace kilnware::platform
