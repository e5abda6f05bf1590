#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kilnware::platform {

// SHA-256 (FIPS 180-4), fed in pieces of any size. Used to check that what was written to a disc
// image reads back the same; small enough that the library needs no crypto dependency for it.
class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void update(std::span<const std::byte> data);
    // Ends the message and returns its digest; the object then starts a new message.
    Digest finish();

    static std::string hex(const Digest& digest);

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_;
    std::size_t pendingLength_ = 0;
    std::uint64_t totalLength_ = 0;
};

}  // namespace kilnware::platform
