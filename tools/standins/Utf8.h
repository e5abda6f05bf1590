#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kilnware::standins {

// The code points of `text`; none when it is not well-formed UTF-8 (overlong forms, surrogates
// and values past U+10FFFF count as malformed).
std::optional<std::u32string> decodeUtf8(std::string_view text);
void appendUtf8(std::string& out, char32_t value);

}  // namespace kilnware::standins
