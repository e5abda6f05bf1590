#pragma once

#include <cstddef>
#include <cstdint>

namespace kilnware::platform::media {

inline constexpr std::size_t kRawSectorBytes = 2352;

// The raw 2352-byte sector of mode 1 that a CD holds at block `lba` (0 = the first block after
// the pause before track 1) for 2048 bytes of user data: sync, header, the data, its EDC and its
// Reed-Solomon P and Q parity (ECMA-130), as a BIN file of MODE1/2352 holds it.
void encodeMode1Sector(std::uint32_t lba, const std::byte* data, std::byte* sector);

}  // namespace kilnware::platform::media
