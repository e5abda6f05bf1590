#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "platform/media/CueSheet.h"

namespace kilnware::platform::media {
namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Texts that try to end their line or quotes and start lines of their own.
const std::vector<std::string> kHostile = {
    "Title\nFILE \"/etc/shadow\" BINARY",
    "Line\r\nTRACK 99 AUDIO",
    "Tab\there\x1b[31m\x7f",
    "Next line\xc2\x85INDEX 01 00:00:00",  // U+0085, a line break in some readers
    "quote\" REM",
};

CDText hostileText(std::size_t tracks) {
    CDText text;
    text.entries.resize(tracks + 1);
    for (std::size_t entry = 0; entry <= tracks; ++entry) {
        for (std::size_t f = 0; f < kCDTextFieldCount; ++f) {
            text.entries[entry][f] = kHostile[(entry + f) % kHostile.size()];
        }
    }
    return text;
}

TEST(CueSheetTest, NoTextOrFileNameStartsALineOrLeavesItsQuotes) {
    const CDText text = hostileText(2);
    const std::string cue = cueSheet("disc\nFILE \"/etc/passwd\" BINARY\".bin",
                                     {{300, 0}, {450, 150}}, text, "disc\r\nREM.cdt");
    std::istringstream lines(cue);
    std::string line;
    std::vector<std::string> words;
    while (std::getline(lines, line)) {
        for (const char c : line) {
            EXPECT_FALSE(isControl(static_cast<unsigned char>(c))) << line;
            EXPECT_NE(static_cast<unsigned char>(c), 0x85) << line;
        }
        std::istringstream in(line);
        std::string word;
        in >> word;
        words.push_back(word);
        // Every line quotes at most one value, whole.
        const auto quotes = std::count(line.begin(), line.end(), '"');
        EXPECT_TRUE(quotes == 0 || quotes == 2) << line;
    }
    const std::vector<std::string> expected = {
        "CDTEXTFILE", "TITLE",      "PERFORMER",  "SONGWRITER", "FILE",  "TRACK",
        "TITLE",      "PERFORMER",  "SONGWRITER", "INDEX",      "TRACK", "TITLE",
        "PERFORMER",  "SONGWRITER", "PREGAP",     "INDEX"};
    EXPECT_EQ(words, expected) << cue;
}

TEST(CueSheetTest, CdTextPacksCarryNoControlCharacters) {
    std::string error;
    const auto file = cdTextFile(hostileText(2), 2, error);
    ASSERT_TRUE(file) << error;
    ASSERT_EQ((file->size() - 4) % 18, 0u);
    for (std::size_t pack = 4; pack < file->size(); pack += 18) {
        if ((*file)[pack] > 0x85) {
            continue;  // size and other binary packs
        }
        // Bytes 4 to 15 of a text pack are text, NUL-separated.
        for (std::size_t i = pack + 4; i < pack + 16; ++i) {
            const std::uint8_t c = (*file)[i];
            EXPECT_TRUE(c == 0 || (!isControl(c) && (c < 0x80 || c >= 0xa0)))
                << "pack " << (pack - 4) / 18 << " byte " << i - pack << ": " << int{c};
        }
    }
}

}  // namespace
}  // namespace kilnware::platform::media
