#include "VolumeName.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kilnware::standins {

namespace {

constexpr std::size_t kIdentifierBytes = 32;
constexpr off_t kSectorBytes = 2048;
constexpr off_t kFirstDescriptorSector = 16;
// The descriptor set is short; a bound keeps a damaged image from being read to its end.
constexpr int kMaxDescriptors = 64;
constexpr std::size_t kIdentifierOffset = 40;
constexpr std::size_t kEscapeOffset = 88;

bool isJolietEscape(const unsigned char* descriptor) {
    const unsigned char* e = descriptor + kEscapeOffset;
    return e[0] == '%' && e[1] == '/' && (e[2] == '@' || e[2] == 'C' || e[2] == 'E');
}

}  // namespace

std::string isoVolumeIdentifier(std::u32string_view name) {
    std::string out;
    for (char32_t c : name) {
        if (out.size() == kIdentifierBytes) {
            break;
        }
        if (c >= 'a' && c <= 'z') {
            out.push_back(static_cast<char>(c - 'a' + 'A'));
        } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('_');
        }
    }
    out.resize(kIdentifierBytes, ' ');
    return out;
}

std::string jolietVolumeIdentifier(std::u32string_view name) {
    std::string out;
    for (char32_t c : name) {
        if (out.size() == kIdentifierBytes) {
            break;
        }
        char32_t unit = c > 0xFFFF ? U'_' : c;
        out.push_back(static_cast<char>(unit >> 8));
        out.push_back(static_cast<char>(unit & 0xFF));
    }
    while (out.size() < kIdentifierBytes) {
        out.push_back('\0');
        out.push_back(' ');
    }
    return out;
}

bool writeVolumeIdentifiers(int image, std::u32string_view name, std::string& error) {
    const std::string iso = isoVolumeIdentifier(name);
    const std::string joliet = jolietVolumeIdentifier(name);
    bool primary = false;
    for (int i = 0; i < kMaxDescriptors; ++i) {
        const off_t at = (kFirstDescriptorSector + i) * kSectorBytes;
        unsigned char descriptor[kSectorBytes];
        if (::pread(image, descriptor, sizeof descriptor, at) != kSectorBytes ||
            std::memcmp(descriptor + 1, "CD001", 5) != 0 || descriptor[0] == 255) {
            break;
        }
        const std::string* identifier = nullptr;
        if (descriptor[0] == 1) {
            identifier = &iso;
            primary = true;
        } else if (descriptor[0] == 2 && isJolietEscape(descriptor)) {
            identifier = &joliet;
        }
        if (identifier) {
            const ssize_t written = ::pwrite(image, identifier->data(), kIdentifierBytes,
                                             at + static_cast<off_t>(kIdentifierOffset));
            if (written != static_cast<ssize_t>(kIdentifierBytes)) {
                error = written < 0 ? std::strerror(errno) : "short write";
                return false;
            }
        }
    }
    if (!primary) {
        error = "the image has no ISO 9660 volume descriptor";
        return false;
    }
    return true;
}

}  // namespace kilnware::standins
