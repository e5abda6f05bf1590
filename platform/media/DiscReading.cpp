// Reading a session back against the MD5 tags libisofs wrote into it, and naming the files whose
// own checksums the damage breaks.

#include "platform/media/DiscReading.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

// libisofs names libburn's struct burn_source, which libburn.h declares in namespace burn.
#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

#include "platform/media/Libburn.h"

namespace kilnware::platform::media {

namespace {

constexpr std::size_t kBlock = 2048;
constexpr std::size_t kChunk = 32;  // blocks read at once
// The superblock tag follows the volume descriptors within the session's first blocks.
constexpr std::uint64_t kFirstTagWithin = 64;

// An MD5 computation of libisofs, freed when it goes.
class Md5 {
public:
    Md5() { iso_md5_start(&context_); }
    ~Md5() {
        if (context_) {
            char ignored[16];
            iso_md5_end(&context_, ignored);
        }
    }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;
    void add(const unsigned char* bytes, std::size_t size) {
        iso_md5_compute(context_, const_cast<char*>(reinterpret_cast<const char*>(bytes)),
                        static_cast<int>(size));
    }
    // Whether what was added so far has the checksum `md5`.
    bool matches(char md5[16]) const {
        void* copy = nullptr;
        char now[16];
        if (iso_md5_clone(context_, &copy) != 1 || iso_md5_end(&copy, now) != 1) {
            return false;
        }
        return iso_md5_match(now, md5) != 0;
    }

private:
    void* context_ = nullptr;
};

const char* partBefore(int tagType) {
    switch (tagType) {
        case 2:
            return "the volume descriptors";
        case 3:
            return "the directory tree";
        default:
            return "the files' contents";
    }
}

void damaged(SessionCheck& check, std::uint64_t from, std::uint64_t to, int tagType,
             bool unreadable) {
    check.result = SessionCheck::Result::Damaged;
    check.damagedFrom = from;
    check.damagedTo = to;
    check.unreadable = unreadable;
    check.part = partBefore(tagType);
}

}  // namespace

SessionCheck checkSession(std::uint64_t start, std::uint64_t limit, const BlockReader& read,
                          const CheckProgress& progress) {
    SessionCheck check;
    check.start = start;
    std::string ignored;
    if (!startLibisofs(ignored)) {
        return check;
    }
    Md5 md5;
    std::vector<unsigned char> buffer(kChunk * kBlock);
    std::uint64_t lastTag = start;  // the block after which damage may lie
    int lastType = 0;               // 2 superblock, 3 tree, 1 session
    std::uint64_t nextTag = 0;      // where the last tag says the next one stands
    const std::uint64_t end = start + limit;
    for (std::uint64_t lba = start; lba < end;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - lba));
        if (!read(lba, count, buffer.data())) {
            // Block by block, to find the one that cannot be read.
            for (std::size_t i = 0; i < count; ++i) {
                if (!read(lba + i, 1, buffer.data() + i * kBlock)) {
                    if (lastType == 0 && lba + i >= start + kFirstTagWithin) {
                        return check;  // past where a tag would have been: none to check against
                    }
                    damaged(check, lba + i, lba + i + 1,
                            lastType == 0   ? 2
                            : lastType == 2 ? 3
                                            : 1,
                            true);
                    return check;
                }
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t at = lba + i;
            unsigned char* block = buffer.data() + i * kBlock;
            if (lastType == 0 && at >= start + kFirstTagWithin) {
                return check;  // no tags: nothing to check against
            }
            int type = 0;
            std::uint32_t pos = 0, rangeStart = 0, rangeSize = 0, next = 0;
            char tagged[16];
            const int decoded = iso_util_decode_md5_tag(reinterpret_cast<char*>(block), &type, &pos,
                                                        &rangeStart, &rangeSize, &next, tagged, 0);
            const bool isTag = decoded == 1 && pos == at && rangeStart == start &&
                               (type == 1 || type == 2 || type == 3);
            if (isTag) {
                if (!md5.matches(tagged)) {
                    damaged(check, lastTag, at, type, false);
                    return check;
                }
                lastTag = at;
                lastType = type;
                nextTag = next;
                if (type == 1) {
                    check.result = SessionCheck::Result::Intact;
                    check.end = at;
                    return check;
                }
            } else if (lastType != 0 && at == nextTag) {
                // The tag the last one foretold is not there: its own block is damaged.
                damaged(check, at, at + 1, lastType == 2 ? 3 : 1, false);
                return check;
            }
            md5.add(block, kBlock);
        }
        lba += count;
        if (progress && !progress(lba - start)) {
            check.result = SessionCheck::Result::Stopped;
            return check;
        }
    }
    if (lastType != 0) {  // the session's own tag never came
        damaged(check, lastTag, end, lastType == 2 ? 3 : 1, false);
    }
    return check;
}

namespace {

// libisofs reads the tree through this, block by block.
int sourceOpen(IsoDataSource*) {
    return 1;
}
int sourceClose(IsoDataSource*) {
    return 1;
}
int sourceRead(IsoDataSource* source, std::uint32_t lba, std::uint8_t* buffer) {
    const auto& read = *static_cast<const BlockReader*>(source->data);
    return read(lba, 1, buffer) ? 1 : static_cast<int>(ISO_DATA_SOURCE_FAILURE);
}
void sourceFree(IsoDataSource*) {}

struct ImageRef {
    IsoImage* image = nullptr;
    ~ImageRef() {
        if (image) {
            iso_image_unref(image);
        }
    }
};

struct ReadOpts {
    IsoReadOpts* opts = nullptr;
    ~ReadOpts() {
        if (opts) {
            iso_read_opts_free(opts);
        }
    }
};

// Whether the file's contents read back with its own checksum; false when they cannot be read.
bool fileIntact(const iso_file_section* sections, int count, const char* expected,
                const BlockReader& read) {
    Md5 md5;
    std::vector<unsigned char> buffer(kChunk * kBlock);
    for (int s = 0; s < count; ++s) {
        std::uint64_t left = sections[s].size;
        for (std::uint64_t lba = sections[s].block; left > 0;) {
            const auto blocks = static_cast<std::size_t>(
                std::min<std::uint64_t>(kChunk, (left + kBlock - 1) / kBlock));
            if (!read(lba, blocks, buffer.data())) {
                return false;
            }
            const auto bytes = std::min<std::uint64_t>(left, blocks * kBlock);
            md5.add(buffer.data(), static_cast<std::size_t>(bytes));
            left -= bytes;
            lba += blocks;
        }
    }
    char want[16];
    std::copy(expected, expected + 16, want);
    return md5.matches(want);
}

void collectDamaged(IsoImage* image, IsoDir* folder, SessionCheck& check, const BlockReader& read) {
    IsoDirIter* iterator = nullptr;
    if (iso_dir_get_children(folder, &iterator) != 1) {
        return;
    }
    IsoNode* node = nullptr;
    while (iso_dir_iter_next(iterator, &node) == 1) {
        if (iso_node_get_type(node) == LIBISO_DIR) {
            collectDamaged(image, reinterpret_cast<IsoDir*>(node), check, read);
            continue;
        }
        if (iso_node_get_type(node) != LIBISO_FILE) {
            continue;
        }
        auto* file = reinterpret_cast<IsoFile*>(node);
        int count = 0;
        iso_file_section* sections = nullptr;
        if (iso_file_get_old_image_sections(file, &count, &sections, 0) != 1 || !sections) {
            continue;
        }
        std::unique_ptr<iso_file_section, decltype(&std::free)> owned(sections, &std::free);
        const bool inDamage = std::any_of(sections, sections + count, [&](const auto& section) {
            const std::uint64_t last = section.block + (section.size + kBlock - 1) / kBlock;
            return section.block < check.damagedTo && last > check.damagedFrom;
        });
        char md5[16];
        if (!inDamage || iso_file_get_md5(image, file, md5, 0) != 1 ||
            fileIntact(sections, count, md5, read)) {
            continue;
        }
        char* path = iso_tree_get_node_path(node);
        check.files.push_back({path ? path : iso_node_get_name(node), sections[0].block});
        std::free(path);
    }
    iso_dir_iter_free(iterator);
}

}  // namespace

namespace {

// The tree of the session at block `start`, read through libisofs; false when it cannot be read.
bool importSession(ImageRef& image, std::uint64_t start, const BlockReader& read) {
    std::string ignored;
    ReadOpts opts;
    if (!startLibisofs(ignored) || iso_image_new("", &image.image) < 0 ||
        iso_read_opts_new(&opts.opts, 0) < 0) {
        return false;
    }
    iso_read_opts_set_start_block(opts.opts, static_cast<std::uint32_t>(start));
    // The files' checksums, which the root's AAIP locates; the tags are checked by checkSession.
    iso_read_opts_set_no_aaip(opts.opts, 0);
    iso_read_opts_set_no_md5(opts.opts, 2);
    // libisofs frees the source with free() once the image lets go of it.
    auto* source = static_cast<IsoDataSource*>(std::calloc(1, sizeof(IsoDataSource)));
    if (!source) {
        return false;
    }
    *source = {
        0, 1, sourceOpen, sourceClose, sourceRead, sourceFree, const_cast<BlockReader*>(&read)};
    IsoReadImageFeatures* features = nullptr;
    const int imported = iso_image_import(image.image, source, opts.opts, &features);
    iso_data_source_unref(source);
    if (imported < 0) {
        return false;
    }
    iso_read_image_features_destroy(features);
    return true;
}

DRDiscContents::Entry entryOf(IsoNode* node) {
    DRDiscContents::Entry entry;
    entry.name = iso_node_get_name(node);
    const IsoNodeType type = iso_node_get_type(node);
    entry.folder = type == LIBISO_DIR;
    if (type == LIBISO_FILE) {
        entry.size =
            static_cast<std::uint64_t>(iso_file_get_size(reinterpret_cast<IsoFile*>(node)));
    } else if (type == LIBISO_SYMLINK) {
        entry.link = true;
        const char* target = iso_symlink_get_dest(reinterpret_cast<IsoSymlink*>(node));
        entry.target = target ? target : "";
        entry.size = entry.target.size();
    }
    entry.modified = iso_node_get_mtime(node);
    entry.mode = iso_node_get_permissions(node);
    entry.owner = iso_node_get_uid(node);
    entry.group = iso_node_get_gid(node);
    return entry;
}

}  // namespace

void nameDamagedFiles(SessionCheck& check, const BlockReader& read) {
    ImageRef image;
    if (check.result != SessionCheck::Result::Damaged || !importSession(image, check.start, read)) {
        return;
    }
    collectDamaged(image.image, iso_image_get_root(image.image), check, read);
    std::sort(check.files.begin(), check.files.end(),
              [](const auto& a, const auto& b) { return a.firstBlock < b.firstBlock; });
}

std::optional<std::vector<DRDiscContents::Entry>> listFolder(std::uint64_t start,
                                                             const std::string& path,
                                                             const BlockReader& read,
                                                             std::string& error) {
    ImageRef image;
    if (!importSession(image, start, read)) {
        error =
            "The file system of the session at block " + std::to_string(start) + " cannot be read.";
        return std::nullopt;
    }
    IsoNode* node = nullptr;
    if (iso_tree_path_to_node(image.image, path.empty() ? "/" : path.c_str(), &node) != 1 ||
        !node) {
        error = "The disc holds no " + path + ".";
        return std::nullopt;
    }
    std::vector<DRDiscContents::Entry> entries;
    if (iso_node_get_type(node) != LIBISO_DIR) {
        entries.push_back(entryOf(node));
        return entries;
    }
    IsoDirIter* iterator = nullptr;
    if (iso_dir_get_children(reinterpret_cast<IsoDir*>(node), &iterator) == 1) {
        IsoNode* child = nullptr;
        while (iso_dir_iter_next(iterator, &child) == 1) {
            entries.push_back(entryOf(child));
        }
        iso_dir_iter_free(iterator);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return entries;
}

std::string damageText(const SessionCheck& check) {
    std::string files;
    for (const SessionCheck::File& file : check.files) {
        files += (files.empty() ? "" : ", ") + file.path + " (from block " +
                 std::to_string(file.firstBlock) + ")";
    }
    const std::string where = check.damagedTo - check.damagedFrom <= 1
                                  ? "block " + std::to_string(check.damagedFrom)
                                  : "blocks " + std::to_string(check.damagedFrom) + " to " +
                                        std::to_string(check.damagedTo - 1);
    return where + " (" + check.part + ") " +
           (check.unreadable ? "cannot be read" : "read back otherwise than written") +
           (files.empty() ? "" : (check.unreadable ? "; it holds " : ": ") + files) + ".";
}

}  // namespace kilnware::platform::media
