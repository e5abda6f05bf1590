#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <iconv.h>

#include "platform/media/CueSheet.h"
#include "tests/support/TestSupport.h"

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
    CdLayout cd;
    cd.catalog = "0123456789012";
    cd.tracks.resize(2);
    cd.tracks[0].blocks = 300;
    cd.tracks[0].silence = 150;
    cd.tracks[0].gapInStream = 75;
    cd.tracks[0].isrc = "USABC1234567";
    cd.tracks[1].blocks = 450;
    cd.tracks[1].silence = 150;
    cd.tracks[1].preEmphasis = cd.tracks[1].copyPermitted = true;
    const std::string cue =
        cueSheet("disc\nFILE \"/etc/passwd\" BINARY\".bin", cd, text, "disc\r\nREM.cdt");
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
        "CATALOG", "CDTEXTFILE", "TITLE",      "PERFORMER", "SONGWRITER", "FILE",  "TRACK",
        "TITLE",   "PERFORMER",  "SONGWRITER", "ISRC",      "INDEX",      "INDEX", "TRACK",
        "TITLE",   "PERFORMER",  "SONGWRITER", "FLAGS",     "PREGAP",     "INDEX"};
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

// The character code of a .cdt file's first block, and its titles (disc first) decoded from it.
struct ReadBlock {
    int charCode = -1;
    int language = -1;
    std::vector<std::string> titles;
};

std::string utf8From(const std::string& bytes, const char* code) {
    iconv_t converter = iconv_open("UTF-8", code);
    std::string in = bytes, out(bytes.size() * 4 + 4, '\0');
    char* from = in.data();
    char* to = out.data();
    std::size_t left = in.size(), room = out.size();
    const bool ok = iconv(converter, &from, &left, &to, &room) != static_cast<std::size_t>(-1);
    iconv_close(converter);
    return ok ? out.substr(0, out.size() - room) : "(not " + std::string(code) + ")";
}

ReadBlock readBlock(const std::vector<std::uint8_t>& file) {
    ReadBlock block;
    std::string titles;
    for (std::size_t pack = 4; pack + 18 <= file.size(); pack += 18) {
        if (file[pack] == 0x80) {
            titles.append(reinterpret_cast<const char*>(&file[pack + 4]), 12);
        } else if (file[pack] == 0x8f && file[pack + 1] == 0) {  // the first size pack
            block.charCode = file[pack + 4];
        } else if (file[pack] == 0x8f && file[pack + 1] == 2) {  // the third: the languages
            block.language = file[pack + 8];
        }
    }
    const bool doubleByte = block.charCode == 0x80;
    for (std::size_t at = 0; at < titles.size();) {
        const std::size_t end =
            titles.find(doubleByte ? std::string(2, '\0') : std::string(1, '\0'), at);
        if (end == std::string::npos || end == at) {
            break;
        }
        block.titles.push_back(
            utf8From(titles.substr(at, end - at), doubleByte ? "CP932" : "ISO-8859-1"));
        at = end + (doubleByte ? 2 : 1);
    }
    return block;
}

// CD-Text in the character code that holds the block's texts: ISO 8859-1, else MS-JIS (Japanese,
// and the Greek and Cyrillic that JIS has); where neither holds them all, ISO 8859-1 with each
// text's closest form and a warning naming it.
TEST(CueSheetTest, CdTextTakesTheCharacterCodeThatHoldsItsTexts) {
    struct Case {
        std::vector<std::string> titles;  // disc, track 1
        int charCode;
        int language;
        std::vector<std::string> read;
        std::size_t warnings;
    };
    const Case cases[] = {
        {{"Caf\u00e9", "Stra\u00dfe"}, 0x00, 0x09, {"Caf\u00e9", "Stra\u00dfe"}, 0},
        {{"\u6771\u4eac", "\u041c\u043e\u0441\u043a\u0432\u0430 Mix"},
         0x80,
         0x69,
         {"\u6771\u4eac", "\u041c\u043e\u0441\u043a\u0432\u0430 Mix"},
         0},
        {{"\u6771\u4eac", "Dvo\u0159\u00e1k \u201cLargo\u201d"},
         0x00,
         0x09,
         {"??", "Dvor\u00e1k \"Largo\""},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.titles[0] + " / " + c.titles[1]);
        CDText text;
        text.entries.resize(2);
        text.entries[0][0] = c.titles[0];
        text.entries[1][0] = c.titles[1];
        test::LogCapture log;
        std::string error;
        const auto file = cdTextFile(text, 1, error);
        ASSERT_TRUE(file) << error;
        const ReadBlock block = readBlock(*file);
        EXPECT_EQ(block.charCode, c.charCode);
        EXPECT_EQ(block.language, c.language);
        EXPECT_EQ(block.titles, c.read);
        // Each warning names a text and the form it is written in.
        const auto warnings = log.lines();
        ASSERT_EQ(warnings.size(), c.warnings);
        for (std::size_t i = 0; i < warnings.size(); ++i) {
            EXPECT_NE(warnings[i].find("\"" + c.titles[i] + "\""), std::string::npos)
                << warnings[i];
            EXPECT_NE(warnings[i].find("\"" + c.read[i] + "\""), std::string::npos) << warnings[i];
        }
        // The cue sheet holds the texts as they are, in UTF-8.
        CdLayout cd;
        cd.tracks.emplace_back().blocks = 300;
        const std::string cue = cueSheet("a.bin", cd, text, std::nullopt);
        EXPECT_NE(cue.find("TITLE \"" + c.titles[1] + "\""), std::string::npos) << cue;
    }
}

}  // namespace
}  // namespace kilnware::platform::media
