#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRDiscContents.h>

namespace kilnware::platform::media {

// Fills `count` blocks of 2048 bytes from block `lba` of a disc or image into `out`; false when
// they cannot all be read.
using BlockReader = std::function<bool(std::uint64_t lba, std::size_t count, unsigned char* out)>;
// Told how many blocks have been read so far; false stops the reading.
using CheckProgress = std::function<bool(std::uint64_t blocksRead)>;

// A session read back and checked against its libisofs MD5 tags: the one after the volume
// descriptors, the one after the directory tree and the one at its end, each the checksum of
// everything from the session's first block to it.
struct SessionCheck {
    enum class Result {
        Intact,
        Damaged,      // a block reads back otherwise than it was written, or not at all
        NoChecksums,  // the session carries no tags: written by a program that makes none
        Stopped,      // the progress said to stop
    };
    Result result = Result::NoChecksums;
    std::uint64_t start = 0;
    std::uint64_t end = 0;  // the block after the last the checksums cover
    // Damaged: where the first damage lies, [damagedFrom, damagedTo), and in which part of the
    // session ("the volume descriptors", "the directory tree", "the files' contents"). A block
    // that cannot be read is the range by itself.
    std::uint64_t damagedFrom = 0;
    std::uint64_t damagedTo = 0;
    bool unreadable = false;
    std::string part;
    // Damaged: the files whose contents lie in the damaged blocks, found by their own checksums
    // (see nameDamagedFiles), with the first block of each.
    struct File {
        std::string path;
        std::uint64_t firstBlock;
    };
    std::vector<File> files;
};

// Reads the session that begins at block `start`, at most `limit` blocks of it, and checks it.
SessionCheck checkSession(std::uint64_t start, std::uint64_t limit, const BlockReader& read,
                          const CheckProgress& progress);

// For a damaged session: reads its directory tree (through libisofs) and checks each file whose
// contents lie in the damaged blocks against the file's own checksum, naming those that differ
// or cannot be read. Leaves the files empty when the tree itself cannot be read.
void nameDamagedFiles(SessionCheck& check, const BlockReader& read);

// The entries of the folder at `path` in the tree of the session at block `start` ("/" its
// root), by name; the entry itself where `path` names a file. None, with `error`, where there is
// no such path or the tree cannot be read.
std::optional<std::vector<DRDiscContents::Entry>> listFolder(std::uint64_t start,
                                                             const std::string& path,
                                                             const BlockReader& read,
                                                             std::string& error);

// Where a damaged session is damaged, in words: "block 130 (the files' contents) cannot be read;
// it holds /photos/b.jpg", "blocks 96 to 130 (the files' contents) read back otherwise than
// written: /photos/b.jpg (from block 120)".
std::string damageText(const SessionCheck& check);

}  // namespace kilnware::platform::media
