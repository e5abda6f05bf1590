// What a medium holds: its sessions and tracks as libisoburn reads them (emulated on overwritable
// media and files, as xorriso lays them out), and what its first blocks show where there are none.

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/engines/libburn/Isoburn.h"
#include "platform/engines/libburn/LibburnParts.h"

namespace kilnware::platform::libburn {

using namespace burn;

namespace {

constexpr std::size_t kHeadBytes = 68 * 1024;  // Btrfs keeps its mark at 64 KiB

// Whether `size` bytes at `offset` of the head hold `mark`.
bool marked(const unsigned char* head, std::size_t size, std::size_t offset,
            std::string_view mark) {
    return offset + mark.size() <= size &&
           std::memcmp(head + offset, mark.data(), mark.size()) == 0;
}

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// The volume identifier of a primary volume descriptor, its padding cut.
std::string volumeIdentifier(const char* field, std::size_t size) {
    std::string name(field, strnlen(field, size));
    name.erase(name.find_last_not_of(' ') + 1);
    return name;
}

}  // namespace

std::optional<std::string> fileSystemOf(const unsigned char* head, std::size_t size) {
    // ext2, ext3 and ext4 share a superblock at 1024; their features tell them apart.
    if (size >= 1024 + 104 && head[1024 + 56] == 0x53 && head[1024 + 57] == 0xEF) {
        const std::uint32_t compatible = littleEndian32(head + 1024 + 92);
        const std::uint32_t incompatible = littleEndian32(head + 1024 + 96);
        if (incompatible & (0x40 | 0x80 | 0x200)) {  // extents, 64-bit, flexible groups
            return "ext4";
        }
        return (compatible & 0x4) ? "ext3" : "ext2";  // with a journal, or without
    }
    constexpr std::pair<std::size_t, std::string_view> kMarks[] = {
        {0, "XFSB"},      {65600, "_BHRfS_M"}, {3, "NTFS    "},
        {3, "EXFAT   "},  {0, "LUKS\xba\xbe"}, {82, "FAT32   "},
        {54, "FAT16   "}, {54, "FAT12   "},    {4086, "SWAPSPACE2"}};
    constexpr std::string_view kNames[] = {
        "XFS",   "Btrfs", "NTFS",  "exFAT",     "LUKS (encrypted)",
        "FAT32", "FAT16", "FAT12", "swap space"};
    for (std::size_t i = 0; i < std::size(kMarks); ++i) {
        if (marked(head, size, kMarks[i].first, kMarks[i].second)) {
            return std::string(kNames[i]);
        }
    }
    // UDF names itself in the volume recognition sequence after 32 KiB, beside ISO 9660.
    for (std::size_t block = 16; block < 32; ++block) {
        if (marked(head, size, block * 2048 + 1, "NSR02") ||
            marked(head, size, block * 2048 + 1, "NSR03")) {
            return "UDF";
        }
    }
    if (marked(head, size, 32768 + 1, "CD001")) {
        return "ISO 9660";
    }
    if (marked(head, size, 512, "EFI PART")) {
        return "a GPT partition table";
    }
    if (size >= 512 && head[510] == 0x55 && head[511] == 0xAA) {
        return "a partition table";
    }
    return std::nullopt;
}

media::BlockReader blockReader(burn_drive* drive) {
    return [drive](std::uint64_t lba, std::size_t count, unsigned char* out) {
        off_t got = 0;
        const auto bytes = static_cast<off_t>(count * 2048);
        return burn_read_data(drive, static_cast<off_t>(lba * 2048), reinterpret_cast<char*>(out),
                              bytes, &got, 2 | 4) == 1 &&
               got == bytes;
    };
}

std::vector<unsigned char> readHead(const Drive& drive) {
    std::vector<unsigned char> head(kHeadBytes);
    const media::BlockReader read = blockReader(drive.get());
    std::size_t got = 0;
    // Block by block: a medium shorter than the head gives what it holds.
    while (got < head.size() && read(got / 2048, 1, head.data() + got)) {
        got += 2048;
    }
    head.resize(got);
    return head;
}

void readSessions(const Drive& drive, MediumReading& reading) {
    ::burn_drive* d = isoburn(drive.get());
    isoburn_toc_disc* disc = isoburn_toc_drive_get_disc(d);
    if (!disc) {
        return;
    }
    int count = 0;
    isoburn_toc_session** sessions = isoburn_toc_disc_get_sessions(disc, &count);
    std::optional<int> newestData;  // the first block of the newest session's data track
    char volume[33] = {};
    bool emulatedIso = false;
    for (int s = 0; sessions && s < count; ++s) {
        DRMediaSession session;
        session.number = static_cast<std::uint32_t>(s + 1);
        int trackCount = 0;
        isoburn_toc_track** tracks = isoburn_toc_session_get_tracks(sessions[s], &trackCount);
        newestData.reset();
        emulatedIso = false;
        for (int t = 0; tracks && t < trackCount; ++t) {
            burn::burn_toc_entry entry{};
            isoburn_toc_track_get_entry(tracks[t], isoburn(&entry));
            DRMediaTrack track;
            track.number = entry.point;
            track.audio = (entry.control & 4) == 0;
            const int start = (entry.extensions_valid & 1)
                                  ? entry.start_lba
                                  : burn_msf_to_lba(entry.pmin, entry.psec, entry.pframe);
            track.start = static_cast<std::uint64_t>(std::max(0, start));
            track.length = (entry.extensions_valid & 1)
                               ? static_cast<std::uint64_t>(std::max(0, entry.track_blocks))
                               : 0;
            if (!track.audio && !newestData) {
                newestData = start;
                int emulatedStart = 0;
                int blocks = 0;
                emulatedIso =
                    isoburn_toc_track_get_emul(tracks[t], &emulatedStart, &blocks, volume, 0) == 1;
            }
            session.tracks.push_back(track);
        }
        if (!session.tracks.empty()) {
            session.start = session.tracks.front().start;
            const DRMediaTrack& last = session.tracks.back();
            session.length = last.start + last.length - session.start;
        }
        reading.sessions.push_back(std::move(session));
    }
    isoburn_toc_disc_free(disc);
    // The newest session's file system: libisoburn knows it for emulated sessions, and reads its
    // volume descriptors on sequential media.
    if (newestData && !emulatedIso) {
        int blocks = 0;
        emulatedIso = isoburn_read_iso_head(d, *newestData, &blocks, volume, 1 | (1 << 15)) > 0;
    }
    if (emulatedIso) {
        reading.iso9660 = true;
        reading.volumeName = volumeIdentifier(volume, sizeof volume - 1);
    }
}

}  // namespace kilnware::platform::libburn
