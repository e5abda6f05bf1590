#include "platform/media/RawSector.h"

#include <array>
#include <cstring>

namespace kilnware::platform::media {

namespace {

struct Tables {
    std::array<std::uint32_t, 256> edc{};  // CRC-32 of x^32+x^31+x^16+x^15+x^4+x^3+x+1, reflected
    std::array<std::uint8_t, 256>
        times2{};  // multiplication by alpha in GF(2^8), x^8+x^4+x^3+x^2+1
    std::array<std::uint8_t, 256> divide{};  // a -> a / (alpha + 1)

    Tables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ ((crc & 1) ? 0xd8018001u : 0);
            }
            edc[i] = crc;
            const auto doubled = static_cast<std::uint8_t>((i << 1) ^ ((i & 0x80) ? 0x11d : 0));
            times2[i] = doubled;
            divide[i ^ doubled] = static_cast<std::uint8_t>(i);
        }
    }
};

const Tables& tables() {
    static const Tables built;
    return built;
}

// One set of parity bytes over the header and data (from byte 12): `majors` code words of
// `minors` bytes each, read in the diagonal order of ECMA-130.
void parity(std::uint8_t* sector, std::size_t majors, std::size_t minors, std::size_t majorStep,
            std::size_t minorStep, std::uint8_t* out) {
    const Tables& t = tables();
    const std::uint8_t* data = sector + 12;
    const std::size_t size = majors * minors;
    for (std::size_t major = 0; major < majors; ++major) {
        std::size_t index = (major >> 1) * majorStep + (major & 1);
        std::uint8_t a = 0;
        std::uint8_t b = 0;
        for (std::size_t minor = 0; minor < minors; ++minor) {
            const std::uint8_t value = data[index];
            index += minorStep;
            if (index >= size) {
                index -= size;
            }
            a = t.times2[a ^ value];
            b ^= value;
        }
        a = t.divide[t.times2[a] ^ b];
        out[major] = a;
        out[major + majors] = a ^ b;
    }
}

std::uint8_t bcd(std::uint32_t value) {
    return static_cast<std::uint8_t>((value / 10) << 4 | value % 10);
}

}  // namespace

void encodeMode1Sector(std::uint32_t lba, const std::byte* data, std::byte* out) {
    auto* sector = reinterpret_cast<std::uint8_t*>(out);
    std::memset(sector, 0, kRawSectorBytes);
    std::memset(sector + 1, 0xff, 10);  // sync: 00, ten FF, 00
    const std::uint32_t address = lba + 150;
    sector[12] = bcd(address / (60 * 75));
    sector[13] = bcd(address / 75 % 60);
    sector[14] = bcd(address % 75);
    sector[15] = 1;  // mode 1
    std::memcpy(sector + 16, data, 2048);
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < 2064; ++i) {
        crc = (crc >> 8) ^ tables().edc[(crc ^ sector[i]) & 0xff];
    }
    for (std::size_t i = 0; i < 4; ++i) {
        sector[2064 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    parity(sector, 86, 24, 2, 86, sector + 2076);         // P
    parity(sector, 52, 43, 86, 88, sector + 2076 + 172);  // Q
}

}  // namespace kilnware::platform::media
