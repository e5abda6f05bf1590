// Volume names: the input is a name, a NUL, and the bytes of a volume descriptor set. The name's
// mappings keep their sizes and alphabets; any descriptor set is read without harm; and an image
// whose descriptors the writer renamed reads back with the name it was given.

#include <fcntl.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "VolumeName.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/DiscImage.h"

using namespace kilnware;

namespace {

constexpr std::size_t kSector = 2048;

std::string descriptor(char type, bool joliet) {
    std::string sector(kSector, '\0');
    sector[0] = type;
    sector.replace(1, 6, "CD001\x01");
    if (joliet) {
        sector.replace(88, 3, "%/E");
    }
    return sector;
}

// What readDiscImageInfo should say after the writer named `name`: the Joliet name, its blanks
// and NULs at the end trimmed, else the ISO 9660 one.
std::string expectedName(const std::u32string& name) {
    std::string joliet;
    for (char32_t c : name.substr(0, 16)) {
        platform::appendUtf8(joliet, c > 0xFFFF ? U'_' : c);
    }
    joliet.erase(joliet.find_last_not_of(std::string_view("\0 ", 2)) + 1);
    if (!joliet.empty()) {
        return joliet;
    }
    std::string iso = standins::isoVolumeIdentifier(name);
    return iso.erase(iso.find_last_not_of(' ') + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view utf8 = input.substr(0, nul);
    const std::string_view descriptors =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    const std::string cut = platform::cutUtf8(utf8, 32);
    fuzz::require(cut.size() <= 32 && utf8.starts_with(cut), "the cut is a prefix that fits");
    const auto name = platform::decodeUtf8(utf8);
    if (name) {
        fuzz::require(platform::isValidUtf8(cut) && (cut.size() == utf8.size() || cut.size() > 28),
                      "the cut keeps every whole character that fits");
        std::string again;
        for (char32_t c : *name) {
            platform::appendUtf8(again, c);
        }
        fuzz::require(again == utf8, "UTF-8 decodes and encodes back to itself");
        const std::string iso = standins::isoVolumeIdentifier(*name);
        fuzz::require(
            iso.size() == 32 && iso.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                      "0123456789_ ") == std::string::npos,
            "an ISO 9660 name is 32 d-characters");
        fuzz::require(standins::jolietVolumeIdentifier(*name).size() == 32,
                      "a Joliet name is 32 bytes");
    }

    // Any descriptor set, behind the 16 sectors of the system area.
    const std::string image =
        fuzz::scratchFile("image.iso", std::string(16 * kSector, '\0') + std::string(descriptors));
    std::string error;
    platform::media::readDiscImageInfo(image);
    if (name) {
        standins::writeVolumeIdentifiers(platform::UniqueFd(::open(image.c_str(), O_RDWR)).get(),
                                         *name, error);
        platform::media::readDiscImageInfo(image);

        // A primary, a Joliet and a terminating descriptor, renamed and read back.
        fuzz::scratchFile("image.iso", std::string(16 * kSector, '\0') + descriptor(1, false) +
                                           descriptor(2, true) + descriptor('\xff', false));
        fuzz::require(standins::writeVolumeIdentifiers(
                          platform::UniqueFd(::open(image.c_str(), O_RDWR)).get(), *name, error),
                      "a well-formed image can be renamed");
        const auto info = platform::media::readDiscImageInfo(image);
        fuzz::require(info && info->iso9660 && info->volumeName == expectedName(*name),
                      "the image reads back with the name it was given");
    }
    return 0;
}
