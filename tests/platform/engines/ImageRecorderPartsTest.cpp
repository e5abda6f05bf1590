#include <gtest/gtest.h>

#include "platform/engines/virtual/ImageBurn.h"
#include "platform/foundation/Sha256.h"
#include "platform/media/CueSheet.h"

namespace kilnware::platform {
namespace {

std::string sha256(const std::string& text, std::size_t piece = 1 << 20) {
    Sha256 hash;
    for (std::size_t i = 0; i < text.size(); i += piece) {
        const std::size_t n = std::min(piece, text.size() - i);
        hash.update(std::as_bytes(std::span(text.data() + i, n)));
    }
    return Sha256::hex(hash.finish());
}

TEST(ImageRecorderParts, Sha256MatchesTheStandardVectorsWhateverThePieces) {
    EXPECT_EQ(sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (std::size_t piece : {1u, 3u, 55u, 56u, 64u, 1000u}) {
        EXPECT_EQ(sha256(twoBlocks, piece),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    }
    EXPECT_EQ(sha256(std::string(1'000'000, 'a'), 4099),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Names a file system takes, of well-formed UTF-8 only and at most 200 bytes.
TEST(ImageRecorderParts, FileNamesAreMadeSafe) {
    std::string snowmen;
    for (int i = 0; i < 100; ++i) {
        snowmen += "\xe2\x98\x83";
    }
    const std::pair<std::string, std::string> table[] = {
        {"Road Trip", "Road Trip"},
        {"AC/DC", "AC_DC"},
        {"../etc/passwd", "_etc_passwd"},
        {". .hidden ", "hidden"},
        {"tab\there\x7f", "tab_here_"},
        {"say \"hi\"", "say 'hi'"},
        {"caf\xc3\xa9 \xff\xc3", "caf\xc3\xa9 __"},
        {"", "Kilnware Disc"},
        {"...", "Kilnware Disc"},
        {std::string(250, 'a'), std::string(200, 'a')},
        {snowmen, snowmen.substr(0, 198)},  // a character is never cut in half
        {"a\xc0\xaf", "a__"},               // overlong '/'
        {"a\xe0\x80\xaf", "a___"},          // overlong, three bytes
        {"a\xf0\x80\x80\xaf", "a____"},     // overlong, four bytes
        {"a\xed\xa0\x80", "a___"},          // a surrogate
        {"a\xf4\x90\x80\x80", "a____"},     // past U+10FFFF
        {"a\xf5\x80\x80\x80", "a____"},     // no such lead byte
        {"a\x80\xbf", "a__"},               // continuations alone
        {"a\xe2\x98", "a__"},               // cut off at the end
        {"a\xe2\x98x", "a__x"},             // cut off before another character
        {"\xf0\x9f\x8e\xb5 \xed\x9f\xbf",
         "\xf0\x9f\x8e\xb5 \xed\x9f\xbf"},  // the edges that are fine
    };
    for (const auto& [name, safe] : table) {
        EXPECT_EQ(image::safeFileName(name), safe) << testing::PrintToString(name);
    }
}

// The cue sheets of the audio burns show the common cases; these are the edges.
TEST(ImageRecorderParts, CueSheetTextsAtTheirEdges) {
    using media::printableUtf8;
    EXPECT_EQ(printableUtf8("\xe2\x82\xac 5 \xf0\x9f\x8e\xb5"), "\xe2\x82\xac 5 \xf0\x9f\x8e\xb5");
    EXPECT_EQ(printableUtf8("a\xc2\x85"
                            "b\tc"),
              "a b c");  // C1 and C0 controls
    // Broken and cut-off sequences, and an overlong '/'.
    EXPECT_EQ(printableUtf8("\x80 \xe2\x82 \xc0\xaf"), "\ufffd \ufffd\ufffd \ufffd\ufffd");
    EXPECT_EQ(media::msf(359'848), "79:57:73");  // seventy-five frames a second
    EXPECT_EQ(media::msf(75 * 60 * 100 + 1), "100:00:01");
}

}  // namespace
}  // namespace kilnware::platform
