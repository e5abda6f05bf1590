#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kilnware::fuzz {

// A broken invariant is a finding: it aborts, so libFuzzer keeps the input and a replay fails.
void require(bool holds, const char* what);

// `data` cut at every `separator`; n separators give n + 1 pieces.
std::vector<std::string> split(std::string_view data, char separator);

// `bytes` written as the file `name` of a private folder, made once and removed when the process
// ends: the file's path.
std::string scratchFile(std::string_view name, std::string_view bytes);

}  // namespace kilnware::fuzz

// The entry point libFuzzer calls, and the replay program too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
