#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kilnware::platform {

// The code points of `text`; none when it is not well-formed UTF-8 (overlong forms, surrogates
// and values past U+10FFFF count as malformed).
// The one UTF-8 codec of the project: strict, as file systems, cue sheets and XML need it.
std::optional<std::u32string> decodeUtf8(std::string_view text);
// The code point at `position` (before the end of `text`), which moves past it; none when the
// bytes there are malformed, and then `position` moves on by one byte, so that a lenient reader
// can put something in the byte's place and go on.
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& position);
// Whether `text` is well-formed UTF-8 by the rules above.
bool isValidUtf8(std::string_view text);
void appendUtf8(std::string& out, char32_t value);
// The longest start of `text` that is at most `maxBytes` long and ends between characters.
std::string cutUtf8(std::string_view text, std::size_t maxBytes);
// `text` with every character beyond the basic multilingual plane (U+10000 and up: emoji and the
// like, which UCS-2 cannot hold) replaced by `replacement`; bytes that are no UTF-8 stay.
std::string replaceBeyondBasicPlane(std::string_view text, char replacement);

}  // namespace kilnware::platform
