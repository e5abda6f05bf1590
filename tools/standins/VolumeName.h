#pragma once

#include <string>
#include <string_view>

namespace kilnware::standins {

// The volume name as each file system of the image can hold it.
//
// ISO 9660: 32 d-characters (A-Z, 0-9, _): letters are raised to capitals, anything else becomes
// '_', and the name is padded with spaces.
std::string isoVolumeIdentifier(std::u32string_view name);
// Joliet: the first 16 characters in UCS-2, big-endian, padded with spaces to 32 bytes; a
// character beyond the 16-bit range becomes '_'.
std::string jolietVolumeIdentifier(std::u32string_view name);

// Writes both identifiers into the primary and the Joliet volume descriptors of the ISO 9660
// image open (for reading and writing) at `image`; flushing it is the caller's. False, with
// `error` set, when the image has no such descriptors or cannot be written.
bool writeVolumeIdentifiers(int image, std::u32string_view name, std::string& error);

}  // namespace kilnware::standins
