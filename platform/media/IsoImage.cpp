// ISO 9660, Joliet and HFS+ images through libisofs.

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

// libisofs hands out libburn's struct burn_source, which libburn.h declares in namespace burn.
#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

#include <kilnware/platform/discrecording/DRFolder.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/WorkerThreads.h"
#include "platform/media/FilesystemImage.h"
#include "platform/media/Libburn.h"
#include "platform/media/Md5.h"

namespace kilnware::platform::media {

namespace {

std::string isoReason(int code) {
    return iso_error_to_msg(code);
}

// The first bytes of a placeholder's content: this image's mark and the file's sort weight, so
// that the reader can tell where libisofs began the files.
using Tag = std::array<unsigned char, 20>;

}  // namespace

// The first thing that went wrong while an image was written, if anything did. Written by
// libisofs' writer thread, read by the track reader.
class WriteFaults {
public:
    void record(std::string fault) {
        std::lock_guard lock(mutex_);
        if (!fault_) {
            fault_ = std::move(fault);
        }
    }
    std::optional<std::string> fault() const {
        std::lock_guard lock(mutex_);
        return fault_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::string> fault_;
};

// What the file streams of one image (or session tree) share.
struct StreamsShared {
    WriteFaults faults;
    // Placeholders stand in for the files: libisofs lays out and writes only the tree, and the
    // reader takes the files' bytes from disk itself.
    bool placeholders = false;
    std::array<unsigned char, 16> mark{};
};

namespace {

Tag tagFor(const StreamsShared& shared, int weight) {
    Tag tag{};
    std::memcpy(tag.data(), shared.mark.data(), shared.mark.size());
    std::memcpy(tag.data() + shared.mark.size(), &weight, sizeof weight);
    return tag;
}

// libisofs' struct iso_stream, whose member "class" C++ cannot name: the same layout under
// another name, as libisofs itself advises.
struct StreamHeader {
    IsoStreamIface* klass;
    int refcount;
    void* data;
};

// A stream while libisofs reads it.
struct OpenFile {
    off_t delivered = 0;
    // The file, where libisofs reads it itself (no placeholders).
    UniqueFd fd;
    off_t taken = 0;  // bytes read from the file so far
    // What was read ahead of libisofs, which asks for one block at a time: a read() per block
    // would cost more than the copy.
    std::unique_ptr<char[]> ahead;
    size_t aheadStart = 0;
    size_t aheadEnd = 0;
};

// A file's content, read from disk while the image is written. Its size is the one of the layout,
// whatever the file holds by then, so that every image of a layout has the same size. The file
// must be the one laid out, unchanged, from its opening until after its last byte was read: a
// file that is gone, was replaced, or was written meanwhile is recorded as a fault, so that no
// mixed or short copy passes for the file.
// One lives behind each stream's header, in the one block libisofs frees; a tree holds one for
// every file, so it stays small.
struct FileStream {
    const LaidOutNode* node = nullptr;  // the layout outlives every image made of it
    // Owned by the image's reader, which stops libisofs before it lets go of it.
    StreamsShared* shared = nullptr;
    // The node's, at hand: libisofs compares streams by them over and over while it sorts.
    dev_t device = 0;
    ino_t inode = 0;
    int weight = 0;
    std::unique_ptr<OpenFile> file;  // while open

    off_t size() const { return static_cast<off_t>(node->size); }
};

// Where the stream lies in its block: after the header, aligned for it.
constexpr std::size_t kStreamOffset =
    (sizeof(StreamHeader) + alignof(FileStream) - 1) / alignof(FileStream) * alignof(FileStream);

constexpr off_t kReadAhead = off_t{256} << 10;

FileStream& fileStream(IsoStream* stream) {
    return *static_cast<FileStream*>(reinterpret_cast<StreamHeader*>(stream)->data);
}

// Whether the open file is still the one of the layout as it stood then.
bool unchanged(int fd, const LaidOutNode& node) {
    return FileIdentity::of(fd) == node.identity();
}

// Opens a laid-out file for reading and checks that it is still the one of the layout; a fault
// names it otherwise.
UniqueFd openLaidOut(const LaidOutNode& node, std::string& fault) {
    UniqueFd fd(::open(node.sourcePath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        fault = node.sourcePath() + ": " + std::strerror(errno);
        return fd;
    }
    if (!unchanged(fd.get(), node)) {
        fault = node.sourcePath() + " changed while it was burned";
        return UniqueFd();
    }
    if (node.size >= kReadAhead) {
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return fd;
}

int streamOpen(IsoStream* stream) {
    FileStream& file = fileStream(stream);
    if (file.file) {
        return static_cast<int>(ISO_FILE_ALREADY_OPENED);
    }
    auto open = std::make_unique<OpenFile>();
    if (!file.shared->placeholders) {
        std::string fault;
        open->fd = openLaidOut(*file.node, fault);
        if (!open->fd) {
            file.shared->faults.record(fault);
            return static_cast<int>(ISO_FILE_ERROR);
        }
    }
    file.file = std::move(open);
    return ISO_SUCCESS;
}

int streamClose(IsoStream* stream) {
    FileStream& file = fileStream(stream);
    if (!file.file) {
        return static_cast<int>(ISO_FILE_NOT_OPENED);
    }
    file.file.reset();
    return ISO_SUCCESS;
}

off_t streamSize(IsoStream* stream) {
    return fileStream(stream).size();
}

// Fills the read-ahead buffer with up to `limit` bytes; false on a read error or a change, which
// is recorded. After the file's last byte the file is looked at once more: written meanwhile, it
// may have given a mix of old and new bytes.
bool readAhead(FileStream& stream, size_t limit) {
    OpenFile& file = *stream.file;
    const auto capacity = static_cast<size_t>(std::min<off_t>(stream.size(), kReadAhead));
    if (!file.ahead) {
        file.ahead = std::make_unique_for_overwrite<char[]>(capacity);
    }
    const size_t wanted = std::min(limit, capacity);
    size_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::read(file.fd.get(), file.ahead.get() + done, wanted - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            stream.shared->faults.record(stream.node->sourcePath() + ": " + std::strerror(errno));
            return false;
        }
        if (got == 0) {
            stream.shared->faults.record(stream.node->sourcePath() +
                                         " changed while it was burned: it ended early");
            return false;
        }
        done += static_cast<size_t>(got);
    }
    file.taken += static_cast<off_t>(done);
    if (file.taken == stream.size() && !unchanged(file.fd.get(), *stream.node)) {
        stream.shared->faults.record(stream.node->sourcePath() + " changed while it was burned");
        return false;
    }
    file.aheadStart = 0;
    file.aheadEnd = done;
    return true;
}

int streamRead(IsoStream* stream, void* buffer, size_t count) {
    FileStream& file = fileStream(stream);
    if (!file.file) {
        return static_cast<int>(ISO_FILE_NOT_OPENED);
    }
    OpenFile& open = *file.file;
    // Never more than the layout's size; libisofs wants full counts until the end.
    const auto wanted = static_cast<size_t>(std::min<off_t>(
        static_cast<off_t>(std::min<size_t>(count, INT_MAX)), file.size() - open.delivered));
    if (file.shared->placeholders) {
        std::memset(buffer, 0, wanted);
        if (open.delivered == 0 && wanted >= sizeof(Tag)) {
            const Tag tag = tagFor(*file.shared, file.weight);
            std::memcpy(buffer, tag.data(), tag.size());
        }
        open.delivered += static_cast<off_t>(wanted);
        return static_cast<int>(wanted);
    }
    size_t done = 0;
    while (done < wanted) {
        if (open.aheadStart == open.aheadEnd) {
            const auto left = static_cast<size_t>(file.size() - open.delivered) - done;
            if (!readAhead(file, left)) {
                return static_cast<int>(ISO_FILE_READ_ERROR);
            }
        }
        const size_t n = std::min(wanted - done, open.aheadEnd - open.aheadStart);
        std::memcpy(static_cast<char*>(buffer) + done, open.ahead.get() + open.aheadStart, n);
        open.aheadStart += n;
        done += n;
    }
    open.delivered += static_cast<off_t>(done);
    return static_cast<int>(done);
}

int streamIsRepeatable(IsoStream*) {
    return 1;
}

// Files of one inode (a link and what it points to) share their content on the disc.
constexpr unsigned int kFileStreamFsId = 0x4B574E31;

void streamId(IsoStream* stream, unsigned int* fsId, dev_t* device, ino_t* inode) {
    const FileStream& file = fileStream(stream);
    *fsId = kFileStreamFsId;
    *device = file.device;
    *inode = file.inode;
}

// The order of libisofs' own comparison (file system, device, inode, then size), without its two
// calls to get_id for every comparison.
int streamCompare(IsoStream* first, IsoStream* second) {
    const FileStream& a = fileStream(first);
    const FileStream& b = fileStream(second);
    const auto key = [](const FileStream& file) {
        return std::tuple(file.device, file.inode, file.node->size);
    };
    return key(a) < key(b) ? -1 : key(b) < key(a) ? 1 : 0;
}

// libisofs frees the block itself once the destructor has run.
void streamFree(IsoStream* stream) {
    fileStream(stream).~FileStream();
}

int streamUpdateSize(IsoStream*) {
    return ISO_SUCCESS;
}

IsoStream* streamInput(IsoStream*, int) {
    return nullptr;
}

int streamClone(IsoStream*, IsoStream**, int) {
    return static_cast<int>(ISO_STREAM_NO_CLONE);
}

IsoStreamIface fileStreamClass = {
    .version = 4,
    .type = {'u', 's', 'e', 'r'},
    .open = streamOpen,
    .close = streamClose,
    .get_size = streamSize,
    .read = streamRead,
    .is_repeatable = streamIsRepeatable,
    .get_id = streamId,
    .free = streamFree,
    .update_size = streamUpdateSize,
    .get_input_stream = streamInput,
    .cmp_ino = streamCompare,
    .clone_stream = streamClone,
};

IsoStream* newFileStream(const LaidOutNode& node, StreamsShared* shared, int weight) {
    // libisofs frees the block with free() once the last reference goes.
    void* block = std::malloc(kStreamOffset + sizeof(FileStream));
    if (!block) {
        return nullptr;
    }
    auto* header = static_cast<StreamHeader*>(block);
    header->klass = &fileStreamClass;
    header->refcount = 1;
    auto* file = new (static_cast<char*>(block) + kStreamOffset) FileStream;
    file->node = &node;
    file->shared = shared;
    file->device = node.device;
    file->inode = node.inode;
    file->weight = weight;
    header->data = file;
    return reinterpret_cast<IsoStream*>(header);
}

// The order in which libisofs puts the files' contents, fixed by a sort weight for each file (the
// higher first): the order of the tree. Files of one inode share one content and one weight.
struct ContentOrder {
    std::vector<int> weights;  // per file, in the order of the tree
    // The files whose content the image holds, in its order, when their places can be told:
    // they follow the tree, each from a block of its own, up to libisofs' checksum array.
    std::vector<const LaidOutNode*> files;
    // Per file of the tree: its place in `files`, or one of these.
    static constexpr std::int32_t kEmpty = -1;      // no content
    static constexpr std::int32_t kSameInode = -2;  // the content of a file before it
    std::vector<std::int32_t> contentOf;
    std::uint64_t bytes = 0;
    // The file whose placeholder shows where libisofs put the files: the first that holds a tag.
    std::uint64_t checkedAt = 0;  // its place, from the first file's
    int checkedWeight = 0;
    bool known = false;
};

// A file farther in than this from the first leaves the image to libisofs: the check would cost
// more than it saves.
constexpr std::uint64_t kCheckedWithin = std::uint64_t{16} << 20;

constexpr int kTopWeight = 1 << 30;

void collectFiles(const LaidOutNode& folder, std::vector<const LaidOutNode*>& files) {
    for (const LaidOutNode& child : folder.children) {
        if (child.isFolder()) {
            collectFiles(child, files);
        } else if (child.isFile()) {
            files.push_back(&child);
        }
    }
}

constexpr std::size_t kBlock = DRTrack::kDataBlockSize;

std::uint64_t blocksOf(std::uint64_t bytes) {
    return (bytes + kBlock - 1) / kBlock;
}

// Every image carries libisofs' MD5 tags: a checksum of the session (with tags after the volume
// descriptors and the directory tree, to tell which part is damaged) and one of each file, kept in
// an array that the root's AAIP names; xorriso and `kilnware check` read them back. libisofs lays
// them out and sums what it writes itself; where the reader takes the files from disk, it sums
// them and writes the array and the session's tag in libisofs' place (ChecksumArray).
void recordChecksums(IsoWriteOpts* opts) {
    iso_write_opts_set_aaip(opts, 1);
    iso_write_opts_set_record_md5(opts, 1, 1);
}

// The order with the files' contents left to libisofs.
ContentOrder leftToLibisofs(ContentOrder order) {
    order.known = false;
    order.files.clear();
    order.contentOf.clear();
    order.bytes = 0;
    return order;
}

ContentOrder contentOrder(const FolderLayout& layout) {
    ContentOrder order;
    // HFS+ puts its own structures among the files: libisofs streams the whole image then.
    if ((layout.mask & DRFilesystemInclusionMaskHFSPlus) != 0) {
        return order;
    }
    std::vector<const LaidOutNode*> files;
    collectFiles(layout.root, files);
    if (files.size() >= static_cast<std::size_t>(kTopWeight)) {
        return order;
    }
    std::vector<std::uint32_t> byInode(files.size());
    for (std::uint32_t i = 0; i < byInode.size(); ++i) {
        byInode[i] = i;
    }
    std::sort(byInode.begin(), byInode.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::tie(files[a]->device, files[a]->inode, a) <
               std::tie(files[b]->device, files[b]->inode, b);
    });
    std::vector<std::uint32_t> first(files.size());
    for (std::size_t k = 0; k < byInode.size(); ++k) {
        const LaidOutNode& node = *files[byInode[k]];
        const bool sameInode = k > 0 && files[byInode[k - 1]]->device == node.device &&
                               files[byInode[k - 1]]->inode == node.inode;
        first[byInode[k]] = sameInode ? first[byInode[k - 1]] : byInode[k];
        // Laid out at two moments with two sizes: which one libisofs keeps is its own affair.
        if (sameInode && files[byInode[k - 1]]->size != node.size) {
            return order;
        }
    }
    order.weights.resize(files.size());
    order.contentOf.resize(files.size());
    bool checked = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        order.weights[i] = kTopWeight - static_cast<int>(first[i]);
        order.contentOf[i] = first[i] != i         ? ContentOrder::kSameInode
                             : files[i]->size == 0 ? ContentOrder::kEmpty
                                                   : static_cast<std::int32_t>(order.files.size());
        if (order.contentOf[i] >= 0) {
            if (!checked && files[i]->size >= sizeof(Tag)) {
                checked = true;
                order.checkedAt = order.bytes;
                order.checkedWeight = order.weights[i];
            }
            order.files.push_back(files[i]);
            order.bytes += blocksOf(files[i]->size) * kBlock;
        }
    }
    // Without a file to check (none, or only tiny ones), libisofs writes them all.
    order.known = checked && order.checkedAt <= kCheckedWithin;
    return order.known ? order : leftToLibisofs(std::move(order));
}

// The owner, mode and times of `source` as the layout's file systems record them: as on disk, or
// on a disc for players owned by root and readable by all, as `genisoimage -r` makes them (write
// and special bits cleared, execute for all where anyone had it).
void setAttributes(IsoNode* node, const LaidOutNode& source, const FolderLayout& layout,
                   int hidden) {
    mode_t mode = source.mode;
    if (layout.forPlayers && !source.isLink()) {
        const bool executable = source.isFolder() || (mode & 0111) != 0;
        mode = executable ? 0555 : 0444;
    }
    iso_node_set_permissions(node, mode);
    iso_node_set_uid(node, layout.forPlayers ? 0 : source.owner);
    iso_node_set_gid(node, layout.forPlayers ? 0 : source.group);
    const auto when = static_cast<time_t>(recordedTime(source.modified, layout.mask));
    iso_node_set_mtime(node, when);
    iso_node_set_atime(node, when);
    iso_node_set_ctime(node, when);
    iso_node_set_hidden(node, hidden);
}

class IsoImageRef {
public:
    IsoImageRef() = default;
    ~IsoImageRef() {
        if (image_) {
            iso_image_unref(image_);
        }
    }
    IsoImageRef(const IsoImageRef&) = delete;
    IsoImageRef& operator=(const IsoImageRef&) = delete;
    IsoImage** out() { return &image_; }
    IsoImage* get() const { return image_; }

private:
    IsoImage* image_ = nullptr;
};

class WriteOpts {
public:
    WriteOpts() = default;
    ~WriteOpts() {
        if (opts_) {
            iso_write_opts_free(opts_);
        }
    }
    WriteOpts(const WriteOpts&) = delete;
    WriteOpts& operator=(const WriteOpts&) = delete;
    IsoWriteOpts** out() { return &opts_; }
    IsoWriteOpts* get() const { return opts_; }

private:
    IsoWriteOpts* opts_ = nullptr;
};

// Adds the files, folders and links under `folder`; the files take the weights of `order` in turn.
class TreeBuilder {
public:
    TreeBuilder(IsoImage* image, const FolderLayout& layout, int hidden,
                std::shared_ptr<StreamsShared> shared, const std::vector<int>& weights)
        : image_(image),
          layout_(layout),
          hidden_(hidden),
          shared_(std::move(shared)),
          weights_(weights) {}

    // The children go into a tree read from a disc: a folder of a name there takes them in; any
    // other node of a name there makes way only when `replace` says so.
    void mergeWithTree(bool replace) { merge_ = replace; }
    // Keeps the files' nodes, in the order of the tree.
    void keepFiles(std::vector<IsoFile*>& files) { kept_ = &files; }

    bool addChildren(IsoDir* parent, const LaidOutNode& folder, const std::string& where,
                     std::string& error) {
        for (const LaidOutNode& child : folder.children) {
            IsoNode* node = nullptr;
            int status = 0;
            if (merge_ && iso_dir_get_node(parent, child.name.c_str(), &node) == 1) {
                if (child.isFolder() && iso_node_get_type(node) == LIBISO_DIR) {
                    if (!addChildren(reinterpret_cast<IsoDir*>(node), child,
                                     where + "/" + child.name, error)) {
                        return false;
                    }
                    continue;
                }
                if (!*merge_) {
                    error = where + "/" + child.name + " is on the disc already";
                    return false;
                }
                iso_node_remove(node);
                node = nullptr;
            }
            int hidden = hidden_;
            if (child.isFolder()) {
                IsoDir* directory = nullptr;
                status = iso_image_add_new_dir(image_, parent, child.name.c_str(), &directory);
                node = reinterpret_cast<IsoNode*>(directory);
                if (status >= 0 &&
                    !addChildren(directory, child, where + "/" + child.name, error)) {
                    return false;
                }
            } else if (child.isLink()) {
                IsoSymlink* link = nullptr;
                status = iso_image_add_new_symlink(image_, parent, child.name.c_str(),
                                                   child.linkTarget().c_str(), &link);
                node = reinterpret_cast<IsoNode*>(link);
                hidden |= LIBISO_HIDE_ON_JOLIET;  // Joliet holds no links
            } else {
                const int weight = files_ < weights_.size() ? weights_[files_] : 0;
                ++files_;
                IsoStream* stream = newFileStream(child, shared_.get(), weight);
                if (!stream) {
                    error = "out of memory";
                    return false;
                }
                IsoFile* file = nullptr;
                status = iso_image_add_new_file(image_, parent, child.name.c_str(), stream, &file);
                if (status < 0) {
                    iso_stream_unref(stream);
                } else {
                    if (!weights_.empty()) {
                        iso_node_set_sort_weight(reinterpret_cast<IsoNode*>(file), weight);
                    }
                    if (kept_) {
                        kept_->push_back(file);
                    }
                }
                node = reinterpret_cast<IsoNode*>(file);
            }
            if (status < 0) {
                error = where + "/" + child.name + ": " + isoReason(status);
                return false;
            }
            setAttributes(node, child, layout_, hidden);
        }
        return true;
    }

private:
    IsoImage* image_;
    const FolderLayout& layout_;
    int hidden_;
    std::shared_ptr<StreamsShared> shared_;
    const std::vector<int>& weights_;
    std::size_t files_ = 0;
    std::optional<bool> merge_;
    std::vector<IsoFile*>* kept_ = nullptr;
};

using burn::burn_source;

// libisofs' checksum array, as the tree it laid out names it, for a reader that takes the files
// from disk, and so writes the array and the session's tag itself. The array follows the files:
// entry 0 the MD5 of the session from its start up to the array, then one for each file (files of
// one inode share theirs), then the MD5 of the entries before it; zeros fill its last block. The
// session's tag follows it in a block of its own: text that says where it lies, the blocks the
// session's MD5 covers (up to the tag), that MD5 and the MD5 of the text before it.
struct ChecksumArray {
    std::uint32_t start = 0;  // the session's first block
    std::uint32_t block = 0;  // the array's first block
    std::uint32_t entries = 0;
    std::vector<std::uint32_t> entryOf;       // per file of ContentOrder::files
    std::vector<std::uint32_t> emptyEntries;  // of the files without content

    std::uint64_t bytes() const { return blocksOf(std::uint64_t{entries} * 16) * kBlock; }

    // The array and the tag, which follow the files, from the sums of what came before them and
    // of each file. The session's sum goes on over the array.
    std::string tail(Md5& session, const std::vector<Md5::Digest>& files) const {
        std::string tail(bytes() + kBlock, '\0');
        const auto put = [&](std::uint32_t entry, const Md5::Digest& digest) {
            std::memcpy(tail.data() + std::size_t{entry} * 16, digest.data(), digest.size());
        };
        put(0, session.sum());
        for (std::size_t i = 0; i < files.size(); ++i) {
            put(entryOf[i], files[i]);
        }
        const Md5::Digest empty = Md5::of(nullptr, 0);
        for (const std::uint32_t entry : emptyEntries) {
            put(entry, empty);
        }
        put(entries - 1, Md5::of(tail.data(), std::size_t{entries - 1} * 16));
        session.add(tail.data(), bytes());
        const std::uint64_t at = block + bytes() / kBlock;
        std::string tag = "libisofs_checksum_tag_v1 pos=" + std::to_string(at) +
                          " range_start=" + std::to_string(start) +
                          " range_size=" + std::to_string(at - start) +
                          " md5=" + Md5::hex(session.sum());
        tag += " self=" + Md5::hex(Md5::of(tag.data(), tag.size())) + "\n";
        tail.replace(bytes(), tag.size(), tag);
        return tail;
    }
};

struct StartedImage {
    burn_source* source = nullptr;
    std::shared_ptr<StreamsShared> shared;
    std::shared_ptr<const ChecksumArray> checksums;  // where the reader writes them
};

// Which of ISO 9660, Joliet and HFS+ the layout asks for.
std::tuple<bool, bool, bool> filesystemsOf(const FolderLayout& layout) {
    return {(layout.mask & DRFilesystemInclusionMaskISO9660) != 0,
            (layout.mask & DRFilesystemInclusionMaskJoliet) != 0,
            (layout.mask & DRFilesystemInclusionMaskHFSPlus) != 0};
}

// libisofs' tree of a layout, and what its file streams share. One tree serves any number of
// images, one after the other.
struct Tree {
    IsoImageRef image;
    std::shared_ptr<StreamsShared> shared;
    std::string relocation;       // the folder that takes the folders too deep for ISO 9660, if any
    std::vector<IsoFile*> files;  // with placeholders, in the order of the tree
    // With placeholders, once measured: the checksums the reader writes, if it can.
    std::shared_ptr<const ChecksumArray> checksums;
};

std::optional<std::string> attributeOf(IsoNode* node, const char* name) {
    std::size_t length = 0;
    char* value = nullptr;
    if (iso_node_lookup_attr(node, const_cast<char*>(name), &length, &value, 0) != 1) {
        return std::nullopt;
    }
    std::string text(value, length);
    std::free(value);
    return text;
}

// Takes a number of one of libisofs' attributes: a byte that says how many follow, then those,
// the most significant first.
bool takeNumber(std::string_view& value, std::uint32_t& number) {
    const std::size_t length = value.empty() ? 0 : static_cast<unsigned char>(value[0]);
    if (length < 1 || length > 4 || value.size() <= length) {
        return false;
    }
    number = 0;
    for (std::size_t i = 1; i <= length; ++i) {
        number = number << 8 | static_cast<unsigned char>(value[i]);
    }
    value.remove_prefix(1 + length);
    return true;
}

// The checksum array libisofs laid out for `tree`, as it names it: the root's isofs.ca says the
// session's first block, the array's, its number of entries, and the size and name of the sums;
// each file's isofs.cx its entry, in four bytes. Nothing when that is not what this reader writes.
std::shared_ptr<const ChecksumArray> checksumArrayOf(const Tree& tree, const ContentOrder& order) {
    auto array = std::make_shared<ChecksumArray>();
    const auto where =
        attributeOf(reinterpret_cast<IsoNode*>(iso_image_get_root(tree.image.get())), "isofs.ca");
    std::string_view value = where ? std::string_view(*where) : std::string_view();
    std::uint32_t sumSize = 0;
    if (!takeNumber(value, array->start) || !takeNumber(value, array->block) ||
        !takeNumber(value, array->entries) || !takeNumber(value, sumSize) || sumSize != 16 ||
        value != "MD5" || array->start != 0 || array->entries < 2 ||
        tree.files.size() != order.contentOf.size()) {
        return nullptr;
    }
    array->entryOf.resize(order.files.size());
    // Each entry between the session's and the array's own belongs to exactly one content.
    std::vector<bool> taken(array->entries);
    for (std::size_t i = 0; i < tree.files.size(); ++i) {
        const std::int32_t content = order.contentOf[i];
        if (content == ContentOrder::kSameInode) {
            continue;
        }
        const auto index = attributeOf(reinterpret_cast<IsoNode*>(tree.files[i]), "isofs.cx");
        if (!index || index->size() != 4) {
            return nullptr;
        }
        std::uint32_t entry = 0;
        for (const char byte : *index) {
            entry = entry << 8 | static_cast<unsigned char>(byte);
        }
        if (entry == 0 || entry >= array->entries - 1 || taken[entry]) {
            return nullptr;
        }
        taken[entry] = true;
        if (content >= 0) {
            array->entryOf[static_cast<std::size_t>(content)] = entry;
        } else {
            array->emptyEntries.push_back(entry);
        }
    }
    if (std::count(taken.begin() + 1, taken.end() - 1, false) != 0) {
        return nullptr;
    }
    return array;
}

// Whether the reader of `order` can write the checksums of an image of `size` bytes: the files
// end where the array begins, and the session's tag ends the image.
bool readerWritesChecksums(const ChecksumArray* array, const ContentOrder& order,
                           std::uint64_t size) {
    if (!array) {
        return false;
    }
    const std::uint64_t filesEnd = std::uint64_t{array->block} * kBlock;
    return filesEnd > order.bytes && size == filesEnd + array->bytes() + kBlock;
}

// Whether a folder under `folder` (at `depth`) lies below ISO 9660's eight levels.
bool holdsFoldersTooDeep(const LaidOutNode& folder, int depth) {
    return std::any_of(folder.children.begin(), folder.children.end(),
                       [&](const LaidOutNode& child) {
                           return child.isFolder() && (depth + 1 >= kFolderDepthBeyondIso9660 ||
                                                       holdsFoldersTooDeep(child, depth + 1));
                       });
}

// Folders below ISO 9660's eight levels go into a folder of their own in the root, where readers
// without Rock Ridge (7-Zip) find them; Rock Ridge readers (Linux) see each at its place. The
// folder is named as genisoimage -hide-rr-moved names it, unless the root holds that name, and
// kept out of the Joliet and HFS+ trees, which hold deep folders where they are.
bool addRelocationFolder(const FolderLayout& layout, Tree& tree, std::string& error) {
    std::string name = ".rr_moved";
    const auto& top = layout.root.children;
    for (int n = 1; std::any_of(top.begin(), top.end(),
                                [&](const LaidOutNode& child) { return child.name == name; });
         ++n) {
        name = ".rr_moved." + std::to_string(n);
    }
    IsoDir* folder = nullptr;
    const int status = iso_image_add_new_dir(tree.image.get(), iso_image_get_root(tree.image.get()),
                                             name.c_str(), &folder);
    if (status < 0) {
        error = "libisofs cannot make the folder for deep folders: " + isoReason(status);
        return false;
    }
    auto* node = reinterpret_cast<IsoNode*>(folder);
    setAttributes(node, layout.root, layout, LIBISO_HIDE_ON_JOLIET | LIBISO_HIDE_ON_HFSPLUS);
    tree.relocation = std::move(name);
    return true;
}

// Builds the tree of `layout`. With `placeholders` the files' contents are left to the reader
// (see StreamsShared).
std::unique_ptr<Tree> buildTree(const FolderLayout& layout, const ContentOrder& order,
                                bool placeholders, std::string& error) {
    if (!startLibisofs(error)) {
        return nullptr;
    }
    auto tree = std::make_unique<Tree>();
    // libisofs maps the name for each file system: ISO 9660 d-characters, Joliet and HFS+ as
    // they are.
    const int status = iso_image_new(layout.volumeName.c_str(), tree->image.out());
    if (status < 0) {
        error = "libisofs cannot make an image: " + isoReason(status);
        return nullptr;
    }
    // Names longer than Rock Ridge allows are refused, not cut.
    iso_image_set_truncate_mode(tree->image.get(), 0, 255);

    const auto [iso9660, joliet, hfsPlus] = filesystemsOf(layout);
    // A Joliet disc carries the same tree in plain ISO 9660 too, for the players (car stereos)
    // that read nothing else.
    const bool primaryTree = iso9660 || joliet;
    const int hidden = (primaryTree ? 0 : LIBISO_HIDE_ON_RR) |
                       (joliet ? 0 : LIBISO_HIDE_ON_JOLIET) |
                       (hfsPlus ? 0 : LIBISO_HIDE_ON_HFSPLUS);

    tree->shared = std::make_shared<StreamsShared>();
    StreamsShared& shared = *tree->shared;
    shared.placeholders = placeholders;
    if (placeholders) {
        std::random_device random;
        for (std::size_t i = 0; i < shared.mark.size(); i += sizeof(unsigned)) {
            const unsigned bits = random();
            std::memcpy(shared.mark.data() + i, &bits, sizeof bits);
        }
    }
    IsoDir* root = iso_image_get_root(tree->image.get());
    setAttributes(reinterpret_cast<IsoNode*>(root), layout.root, layout, 0);
    TreeBuilder builder(tree->image.get(), layout, hidden, tree->shared, order.weights);
    if (placeholders) {
        builder.keepFiles(tree->files);
    }
    if (!builder.addChildren(root, layout.root, "", error)) {
        return nullptr;
    }
    if (primaryTree && holdsFoldersTooDeep(layout.root, 0) &&
        !addRelocationFolder(layout, *tree, error)) {
        return nullptr;
    }
    return tree;
}

// Starts writing the image of `tree`; only its size is wanted when `sizeOnly`.
std::optional<StartedImage> startImage(const Tree& tree, const FolderLayout& layout,
                                       const ContentOrder& order, bool sizeOnly,
                                       std::string& error) {
    const auto [iso9660, joliet, hfsPlus] = filesystemsOf(layout);
    WriteOpts opts;
    int status = iso_write_opts_new(opts.out(), 0);
    if (status < 0) {
        error = "libisofs cannot make an image: " + isoReason(status);
        return std::nullopt;
    }
    IsoWriteOpts* o = opts.get();
    iso_write_opts_set_iso_level(o, 3);
    // Rock Ridge on every ISO 9660 tree: Linux sees long names, links, owners, modes and deep
    // folders there.
    iso_write_opts_set_rockridge(o, iso9660 || joliet ? 1 : 0);
    if (!tree.relocation.empty()) {
        std::string name = tree.relocation;
        iso_write_opts_set_rr_reloc(o, name.data(), 0);
    }
    iso_write_opts_set_joliet(o, joliet ? 1 : 0);
    if (joliet) {
        iso_write_opts_set_joliet_long_names(o, 1);
        iso_write_opts_set_joliet_longer_paths(o, 1);
        iso_write_opts_set_joliet_utf16(o, 1);
    }
    iso_write_opts_set_hfsplus(o, hfsPlus ? 1 : 0);
    iso_write_opts_set_always_gmt(o, 1);
    // The directory records carry each file's modification time, not the time of the burn.
    iso_write_opts_set_dir_rec_mtime(o, 1 | 2);
    // Every image of one layout is the same, byte for byte: the volume times and the HFS+ serial
    // number come from the moment of the layout.
    const auto when = static_cast<time_t>(layout.laidOutAt);
    std::string stamp = volumeTimeStamp(layout.laidOutAt);
    iso_write_opts_set_pvd_times(o, when, when, 0, 0, stamp.data());
    std::uint8_t serial[8];
    const auto bits = static_cast<std::uint64_t>(layout.laidOutAt) | (std::uint64_t{0x4B57} << 48);
    for (int i = 0; i < 8; ++i) {
        serial[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    iso_write_opts_set_hfsp_serial_number(o, serial);
    // Told that only the size is wanted (iso_write_opts_set_will_cancel), libisofs leaves out the
    // checksums and measures an image smaller than the one it writes: it starts writing, in the
    // smallest ring, and is stopped.
    if (sizeOnly) {
        iso_write_opts_set_fifo_size(o, 32);
    } else if (tree.shared->placeholders) {
        // Only the tree passes through it: a quarter of the default ring is plenty.
        iso_write_opts_set_fifo_size(o, 256);
    }
    iso_write_opts_set_sort_files(o, order.weights.empty() ? 0 : 1);
    recordChecksums(o);

    ::burn_source* created = nullptr;
    status = iso_image_create_burn_source(tree.image.get(), o, &created);
    auto* source = reinterpret_cast<burn_source*>(created);
    if (status < 0 || !source) {
        error = "libisofs cannot lay the tree out: " + isoReason(status);
        return std::nullopt;
    }
    return StartedImage{source, tree.shared, tree.checksums};
}

void stopImage(burn_source* source, bool finished) {
    if (!finished && source->cancel) {
        source->cancel(source);
    }
    burn::burn_source_free(source);
}

// The size of the image of `tree`. libisofs numbers the Rock Ridge inodes of an image on from
// the tree's last one, so every tree that is written is measured first, exactly once: then
// every image of a layout is the same, byte for byte. With placeholders, the checksums the reader
// writes are laid out then too.
std::optional<off_t> measure(Tree& tree, const FolderLayout& layout, const ContentOrder& order,
                             std::string& error) {
    auto image = startImage(tree, layout, order, true, error);
    if (!image) {
        return std::nullopt;
    }
    const off_t size = image->source->get_size(image->source);
    // Read before libisofs is stopped, which takes the files' entries away.
    if (tree.shared->placeholders) {
        tree.checksums = checksumArrayOf(tree, order);
    }
    stopImage(image->source, false);
    return size;
}

// Streams an image: what libisofs writes, and with placeholders the files' contents from disk,
// each from a block of its own at the place libisofs gave it, after the tree; then the checksum
// array and the session's tag, summed over those very bytes.
class IsoReader : public DRTrackReader {
public:
    IsoReader(std::shared_ptr<const FolderLayout> layout, std::shared_ptr<const ContentOrder> order,
              StartedImage image, std::uint64_t bytes)
        : layout_(std::move(layout)),
          order_(std::move(order)),
          source_(image.source),
          shared_(std::move(image.shared)),
          checksums_(std::move(image.checksums)),
          fromLibisofs_(shared_->placeholders
                            ? std::uint64_t{checksums_->block} * kBlock - order_->bytes
                            : bytes) {
        if (shared_->placeholders) {
            sums_.resize(order_->files.size());
            summing_.start([this] { sumLargeFiles(); });
        }
    }
    ~IsoReader() override {
        stopSumming_ = true;
        summing_.waitForAll();
        stopLibisofs();
    }
    IsoReader(const IsoReader&) = delete;
    IsoReader& operator=(const IsoReader&) = delete;

    std::size_t read(std::span<std::byte> out) override {
        std::size_t done = 0;
        if (!error_.empty() || out.empty()) {
            return 0;
        }
        if (fromLibisofs_ > 0) {
            done = readLibisofs(out.first(
                static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), fromLibisofs_))));
            if (!error_.empty()) {
                return 0;
            }
            if (shared_->placeholders) {
                session_.add(out.data(), done);
            }
        }
        if (fromLibisofs_ == 0 && source_) {
            takeOverFromLibisofs();
        }
        while (done < out.size() && error_.empty()) {
            if (padding_ > 0) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(padding_, out.size() - done));
                std::memset(out.data() + done, 0, n);
                session_.add(out.data() + done, n);
                done += n;
                padding_ -= n;
                continue;
            }
            if (!openFile()) {
                done += readTail(out.subspan(done));
                break;
            }
            const LaidOutNode& file = *order_->files[next_];
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(file.size - taken_, out.size() - done));
            const ssize_t got = ::read(fd_.get(), out.data() + done, want);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                fail(file.sourcePath() + ": " + std::strerror(errno));
            } else if (got == 0) {
                fail(file.sourcePath() + " changed while it was burned: it ended early");
            } else {
                session_.add(out.data() + done, static_cast<std::size_t>(got));
                if (file.size < kSummedApart) {
                    fileSum_.add(out.data() + done, static_cast<std::size_t>(got));
                }
                done += static_cast<std::size_t>(got);
                took(static_cast<std::uint64_t>(got));
            }
        }
        return error_.empty() ? done : 0;
    }

    const std::string& error() const override { return error_; }

private:
    std::size_t readLibisofs(std::span<std::byte> out) {
        const auto wanted = static_cast<int>(std::min<std::size_t>(out.size(), 1 << 30));
        int got = 0;
        while (got < wanted) {
            auto* buffer = reinterpret_cast<unsigned char*>(out.data()) + got;
            const int n = source_->read_xt ? source_->read_xt(source_, buffer, wanted - got)
                                           : source_->read(source_, buffer, wanted - got);
            if (n <= 0) {
                break;
            }
            got += n;
        }
        // A fault is recorded before the bytes that stand in for the lost content are written,
        // so no such byte goes out.
        if (auto fault = shared_->faults.fault()) {
            error_ = "the data track cannot be read: " + *fault;
            return 0;
        }
        if (got < wanted) {
            error_ = "the data track ended early: libisofs stopped writing the image";
            return 0;
        }
        fromLibisofs_ -= static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
    }

    // The tree is written: the files follow, from disk. libisofs' own first block of them must be
    // the first file's placeholder, or its files lie elsewhere than this reader would put them.
    void takeOverFromLibisofs() {
        if (!order_->files.empty()) {
            std::array<std::byte, kBlock> block{};
            bool whole = true;
            for (std::uint64_t left = order_->checkedAt + block.size(); whole && left > 0;) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
                fromLibisofs_ = n;
                whole = readLibisofs(std::span(block).first(n)) == n;
                left -= n;
            }
            const Tag tag = tagFor(*shared_, order_->checkedWeight);
            if (whole && std::memcmp(block.data(), tag.data(), tag.size()) != 0) {
                error_ = "the data track cannot be read: libisofs placed the files unexpectedly";
            }
            fromLibisofs_ = 0;
        }
        stopLibisofs();
    }

    void stopLibisofs() {
        if (source_) {
            // With placeholders libisofs goes on writing them after the tree.
            stopImage(source_, fromLibisofs_ == 0 && order_->files.empty());
            source_ = nullptr;
        }
    }

    // After the files: the checksum array and the session's tag, where the reader took the files.
    std::size_t readTail(std::span<std::byte> out) {
        if (!shared_->placeholders) {
            return 0;
        }
        if (!tail_) {
            summing_.waitForAll();
            if (!summingFault_.empty()) {
                fail(summingFault_);
                return 0;
            }
            tail_ = checksums_->tail(session_, sums_);
        }
        const std::size_t n = std::min(out.size(), tail_->size() - tailTaken_);
        std::memcpy(out.data(), tail_->data() + tailTaken_, n);
        tailTaken_ += n;
        return n;
    }

    bool openFile() {
        if (fd_) {
            return true;
        }
        if (next_ >= order_->files.size()) {
            return false;
        }
        // No look at it yet: the one after its last byte (took) sees any change since the
        // layout, on the very file that was read.
        const LaidOutNode& file = *order_->files[next_];
        if (file.placeIsFolder) {
            // By its name in its folder, which is looked up once for all its files in a row.
            if (folder_ != file.place.get()) {
                folder_ = file.place.get();
                const char* path = folder_->empty() ? "/" : folder_->c_str();
                folderFd_.reset(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
            }
            if (folderFd_) {
                fd_.reset(::openat(folderFd_.get(), file.name.c_str(),
                                   O_RDONLY | O_CLOEXEC | O_NONBLOCK));
            }
        }
        if (!fd_) {
            fd_.reset(::open(file.sourcePath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        }
        if (!fd_) {
            fail(file.sourcePath() + ": " + std::strerror(errno));
            return false;
        }
        if (file.size >= static_cast<std::uint64_t>(kReadAhead)) {
            ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        }
        taken_ = 0;
        return true;
    }

    // After the file's last byte it is looked at once more: written meanwhile, it may have given
    // a mix of old and new bytes.
    void took(std::uint64_t count) {
        const LaidOutNode& file = *order_->files[next_];
        taken_ += count;
        if (taken_ < file.size) {
            return;
        }
        if (!unchanged(fd_.get(), file)) {
            fail(file.sourcePath() + " changed while it was burned");
        }
        fd_.reset();
        if (file.size < kSummedApart) {
            sums_[next_] = fileSum_.sum();
            fileSum_.reset();
        }
        padding_ = blocksOf(file.size) * kBlock - file.size;
        ++next_;
    }

    // The sums of the files of kSummedApart bytes or more, on a thread of its own, which reads
    // them from disk again; each must be the file laid out, unchanged after its last byte, as it
    // must be for the reader, so both see the same bytes. The reader sums the smaller files as it
    // reads them, where opening each again would cost more than their sums.
    void sumLargeFiles() {
        const auto buffer = std::make_unique_for_overwrite<char[]>(kSummingStep);
        const auto& files = order_->files;
        for (std::size_t i = 0; i < files.size() && !stopSumming_; ++i) {
            const LaidOutNode& file = *files[i];
            if (file.size < kSummedApart) {
                continue;
            }
            const UniqueFd fd = openLaidOut(file, summingFault_);
            if (!fd) {
                return;
            }
            Md5 sum;
            for (std::uint64_t left = file.size; left > 0 && !stopSumming_;) {
                const ssize_t got =
                    ::read(fd.get(), buffer.get(),
                           static_cast<std::size_t>(std::min<std::uint64_t>(left, kSummingStep)));
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    summingFault_ = file.sourcePath() +
                                    (got < 0 ? ": " + std::string(std::strerror(errno))
                                             : " changed while it was burned: it ended early");
                    return;
                }
                sum.add(buffer.get(), static_cast<std::size_t>(got));
                left -= static_cast<std::uint64_t>(got);
            }
            if (!unchanged(fd.get(), file)) {
                summingFault_ = file.sourcePath() + " changed while it was burned";
                return;
            }
            sums_[i] = sum.sum();
        }
    }

    void fail(const std::string& fault) { error_ = "the data track cannot be read: " + fault; }

    static constexpr std::uint64_t kSummedApart = std::uint64_t{64} << 10;
    static constexpr std::size_t kSummingStep = std::size_t{1} << 20;

    std::shared_ptr<const FolderLayout> layout_;
    std::shared_ptr<const ContentOrder> order_;
    burn_source* source_;
    std::shared_ptr<StreamsShared> shared_;
    std::shared_ptr<const ChecksumArray> checksums_;  // with placeholders
    std::uint64_t fromLibisofs_;                      // bytes still to come from libisofs
    std::size_t next_ = 0;                            // the file being read, in order_->files
    const std::string* folder_ = nullptr;  // the folder of the last file opened by its name
    UniqueFd folderFd_;
    UniqueFd fd_;
    std::uint64_t taken_ = 0;
    std::uint64_t padding_ = 0;
    Md5 session_;                    // of every byte so far
    Md5 fileSum_;                    // of the file being read
    std::vector<Md5::Digest> sums_;  // of each file, in order_->files
    std::optional<std::string> tail_;
    std::size_t tailTaken_ = 0;
    std::string error_;
    std::atomic<bool> stopSumming_ = false;
    std::string summingFault_;  // the summing thread's, read once it has ended
    WorkerThreads summing_;
};

class IsoFilesystemImage : public FilesystemImage {
public:
    IsoFilesystemImage(std::shared_ptr<const FolderLayout> layout,
                       std::shared_ptr<const ContentOrder> order, std::uint64_t bytes)
        : layout_(std::move(layout)), order_(std::move(order)), bytes_(bytes) {}

    std::uint64_t blockCount() const override { return bytes_ / DRTrack::kDataBlockSize; }
    std::shared_ptr<const FolderLayout> isoLayout() const override { return layout_; }
    std::string volumeName() const override { return layout_->volumeName; }

    // The tree built to measure the image serves the first reader.
    void keep(std::unique_ptr<Tree> tree) { spare_ = std::move(tree); }

    std::unique_ptr<DRTrackReader> newReader() const override {
        std::string error;
        std::unique_ptr<Tree> tree;
        {
            std::lock_guard lock(mutex_);
            tree.swap(spare_);
        }
        if (!tree) {
            tree = buildTree(*layout_, *order_, order_->known, error);
            if (tree && !measure(*tree, *layout_, *order_, error)) {
                tree.reset();
            }
        }
        auto image = tree ? startImage(*tree, *layout_, *order_, false, error) : std::nullopt;
        if (!image) {
            return failedReader("the data track cannot be read: " + error);
        }
        const off_t size = image->source->get_size(image->source);
        if (size < 0 || static_cast<std::uint64_t>(size) != bytes_ ||
            (order_->known && !readerWritesChecksums(image->checksums.get(), *order_, bytes_))) {
            stopImage(image->source, false);
            return failedReader("the data track cannot be read: its size has changed");
        }
        return std::make_unique<IsoReader>(layout_, order_, std::move(*image), bytes_);
    }

private:
    std::shared_ptr<const FolderLayout> layout_;
    std::shared_ptr<const ContentOrder> order_;
    std::uint64_t bytes_;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<Tree> spare_;
};

}  // namespace

SessionTree::SessionTree(std::shared_ptr<const FolderLayout> layout)
    : layout_(std::move(layout)), shared_(std::make_shared<StreamsShared>()) {}

SessionTree::~SessionTree() = default;

bool SessionTree::graft(IsoImage* image, bool replace, std::string& error) {
    const auto [iso9660, joliet, hfsPlus] = filesystemsOf(*layout_);
    const int hidden = (iso9660 || joliet ? 0 : LIBISO_HIDE_ON_RR) |
                       (joliet ? 0 : LIBISO_HIDE_ON_JOLIET) | LIBISO_HIDE_ON_HFSPLUS;
    const std::vector<int> noWeights;
    iso_image_set_truncate_mode(image, 0, 255);
    TreeBuilder builder(image, *layout_, hidden, shared_, noWeights);
    builder.mergeWithTree(replace);
    if (!builder.addChildren(iso_image_get_root(image), layout_->root, "", error)) {
        return false;
    }
    iso_image_set_volume_id(image, layout_->volumeName.c_str());
    return true;
}

std::optional<std::string> SessionTree::fault() const {
    return shared_->faults.fault();
}

SessionTree::Settings SessionTree::settings() const {
    const auto [iso9660, joliet, hfsPlus] = filesystemsOf(*layout_);
    // As startImage writes the images: Rock Ridge on every ISO 9660 tree.
    return {iso9660 || joliet, joliet, hfsPlus, layout_->laidOutAt};
}

std::unique_ptr<FilesystemImage> makeIsoImage(FolderLayout layout, std::string& error,
                                              FilesReadBy filesReadBy) {
    auto shared = std::make_shared<const FolderLayout>(std::move(layout));
    auto order = std::make_shared<const ContentOrder>(filesReadBy == FilesReadBy::Libisofs
                                                          ? leftToLibisofs(contentOrder(*shared))
                                                          : contentOrder(*shared));
    auto tree = buildTree(*shared, *order, order->known, error);
    std::optional<off_t> measured;
    if (tree) {
        measured = measure(*tree, *shared, *order, error);
    }
    const bool readerCan =
        order->known && measured &&
        readerWritesChecksums(tree->checksums.get(), *order, static_cast<std::uint64_t>(*measured));
    if (filesReadBy == FilesReadBy::Reader && !readerCan) {
        error = "the reader cannot tell where libisofs puts the files";
        return nullptr;
    }
    if (measured && order->known && !readerCan) {
        // libisofs laid its checksums out otherwise than the reader writes them: it reads the
        // files and sums them itself.
        order = std::make_shared<const ContentOrder>(leftToLibisofs(*order));
        tree = buildTree(*shared, *order, false, error);
        measured.reset();
        if (tree) {
            measured = measure(*tree, *shared, *order, error);
        }
    }
    if (!measured) {
        return nullptr;
    }
    const off_t size = *measured;
    // The burn writes its image on threads of its own, whose allocator arenas cannot take the
    // memory the measuring freed: it goes back to the system rather than stay beside theirs.
    ::malloc_trim(0);
    if (size <= 0 || size % static_cast<off_t>(DRTrack::kDataBlockSize) != 0 ||
        (order->known && static_cast<std::uint64_t>(size) < order->bytes)) {
        error = "libisofs gave an image of " + std::to_string(size) + " bytes";
        return nullptr;
    }
    auto made = std::make_unique<IsoFilesystemImage>(std::move(shared), std::move(order),
                                                     static_cast<std::uint64_t>(size));
    made->keep(std::move(tree));
    return made;
}

std::string volumeTimeStamp(std::int64_t laidOutAt) {
    const auto when = static_cast<time_t>(laidOutAt);
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S00", &utc);
    return stamp;
}

}  // namespace kilnware::platform::media
