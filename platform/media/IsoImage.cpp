// ISO 9660, Joliet and HFS+ images through libisofs.

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
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
#include <tuple>
#include <vector>

// libisofs hands out libburn's struct burn_source, which libburn.h declares in namespace burn.
#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

#include <kilnware/platform/discrecording/DRFolder.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/media/FileSpans.h"
#include "platform/media/FilesystemImage.h"
#include "platform/media/Libburn.h"

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
    // they fill the image's end, each from a block of its own.
    std::vector<const LaidOutNode*> files;
    std::uint64_t bytes = 0;
    // The file whose placeholder shows where libisofs put the files: the first that holds a tag.
    std::uint64_t checkedAt = 0;  // its place, from the first file's
    int checkedWeight = 0;
    bool known = false;
};

// Files smaller than this are read, larger ones offered to the engine to copy (see IsoReader).
constexpr std::uint64_t kCopiedFrom = std::uint64_t{64} << 10;
// How far ahead the reader looks for small files at a time.
constexpr std::uint64_t kSmallRun = std::uint64_t{4} << 20;

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

std::uint64_t blocksOf(std::uint64_t bytes) {
    return (bytes + DRTrack::kDataBlockSize - 1) / DRTrack::kDataBlockSize;
}

// Every image carries libisofs' MD5 tags: a checksum of the session (with tags after the volume
// descriptors and the directory tree, to tell which part is damaged) and one of each file, kept in
// an array that the root's AAIP names. libisofs computes them over the bytes as it writes them;
// xorriso and `kilnware check` read them back.
constexpr bool kRecordsChecksums = true;

void recordChecksums(IsoWriteOpts* opts) {
    iso_write_opts_set_aaip(opts, 1);
    iso_write_opts_set_record_md5(opts, 1, 1);
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
    bool checked = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        order.weights[i] = kTopWeight - static_cast<int>(first[i]);
        if (first[i] == i && files[i]->size > 0) {
            if (!checked && files[i]->size >= sizeof(Tag)) {
                checked = true;
                order.checkedAt = order.bytes;
                order.checkedWeight = order.weights[i];
            }
            order.files.push_back(files[i]);
            order.bytes += blocksOf(files[i]->size) * DRTrack::kDataBlockSize;
        }
    }
    // Without a file to check (none, or only tiny ones), libisofs writes them all. So it does
    // while it records checksums (recordChecksums): it would checksum placeholders in place of
    // the files.
    order.known = !kRecordsChecksums && checked && order.checkedAt <= kCheckedWithin;
    if (!order.known) {
        order.files.clear();
        order.bytes = 0;
    }
    return order;
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
                } else if (!weights_.empty()) {
                    iso_node_set_sort_weight(reinterpret_cast<IsoNode*>(file), weight);
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
};

using burn::burn_source;

struct StartedImage {
    burn_source* source = nullptr;
    std::shared_ptr<StreamsShared> shared;
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
    std::string relocation;  // the folder that takes the folders too deep for ISO 9660, if any
};

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
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S00", &utc);
    iso_write_opts_set_pvd_times(o, when, when, 0, 0, stamp);
    std::uint8_t serial[8];
    const auto bits = static_cast<std::uint64_t>(layout.laidOutAt) | (std::uint64_t{0x4B57} << 48);
    for (int i = 0; i < 8; ++i) {
        serial[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    iso_write_opts_set_hfsp_serial_number(o, serial);
    // Told that only the size is wanted, libisofs leaves out the checksums (and measures an image
    // smaller than the one it writes): it starts writing, in the smallest ring, and is stopped.
    iso_write_opts_set_will_cancel(o, sizeOnly && !kRecordsChecksums ? 1 : 0);
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
    return StartedImage{source, tree.shared};
}

void stopImage(burn_source* source, bool finished) {
    if (!finished && source->cancel) {
        source->cancel(source);
    }
    burn::burn_source_free(source);
}

// The size of the image of `tree`. libisofs numbers the Rock Ridge inodes of an image on from
// the tree's last one, so every tree that is written is measured first, exactly once: then
// every image of a layout is the same, byte for byte.
std::optional<off_t> measure(const Tree& tree, const FolderLayout& layout,
                             const ContentOrder& order, std::string& error) {
    auto image = startImage(tree, layout, order, true, error);
    if (!image) {
        return std::nullopt;
    }
    const off_t size = image->source->get_size(image->source);
    stopImage(image->source, false);
    return size;
}

// Streams an image: what libisofs writes, and with placeholders the files' contents from disk,
// each from a block of its own at the place libisofs gave it, after the tree.
class IsoReader : public DRTrackReader, public FileSpans {
public:
    IsoReader(std::shared_ptr<const FolderLayout> layout, std::shared_ptr<const ContentOrder> order,
              StartedImage image, std::uint64_t bytes)
        : layout_(std::move(layout)),
          order_(std::move(order)),
          source_(image.source),
          shared_(std::move(image.shared)),
          fromLibisofs_(shared_->placeholders ? bytes - order_->bytes : bytes) {}
    ~IsoReader() override { stopLibisofs(); }
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
        }
        if (fromLibisofs_ == 0 && source_) {
            takeOverFromLibisofs();
        }
        while (done < out.size() && error_.empty()) {
            if (padding_ > 0) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(padding_, out.size() - done));
                std::memset(out.data() + done, 0, n);
                done += n;
                padding_ -= n;
                continue;
            }
            if (!openFile()) {
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
                done += static_cast<std::size_t>(got);
                took(static_cast<std::uint64_t>(got));
            }
        }
        return error_.empty() ? done : 0;
    }

    std::optional<Span> nextSpan() override {
        if (fromLibisofs_ > 0 || !error_.empty()) {
            return std::nullopt;
        }
        if (source_) {
            takeOverFromLibisofs();
        }
        if (const std::uint64_t run = smallFilesAhead()) {
            return Span{Span::kRead, 0, run};
        }
        if (padding_ > 0) {
            return Span{-1, 0, padding_};
        }
        if (!openFile()) {
            return std::nullopt;
        }
        return Span{fd_.get(), taken_, order_->files[next_]->size - taken_};
    }

    bool pass(std::uint64_t count) override {
        if (padding_ > 0) {
            padding_ -= std::min(count, padding_);
        } else if (fd_) {
            took(count);
        }
        return error_.empty();
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
            std::array<std::byte, DRTrack::kDataBlockSize> block{};
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

    // The bytes from here that small files take, with their padding: these go through the
    // engine's buffer, many files to one write, as a kernel copy of each would cost more in calls
    // than it saves in copying. 0 where a large file (or the end) comes first.
    std::uint64_t smallFilesAhead() const {
        const auto& files = order_->files;
        std::size_t i = next_;
        std::uint64_t run = padding_;
        if (padding_ == 0 && fd_) {
            if (files[i]->size >= kCopiedFrom) {
                return 0;
            }
            run = blocksOf(files[i]->size) * DRTrack::kDataBlockSize - taken_;
            ++i;
        }
        const std::uint64_t before = run;
        for (; i < files.size() && run < kSmallRun && files[i]->size < kCopiedFrom; ++i) {
            run += blocksOf(files[i]->size) * DRTrack::kDataBlockSize;
        }
        const bool smallFirst = run > before || before > padding_;
        return smallFirst ? run : 0;
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
        padding_ = blocksOf(file.size) * DRTrack::kDataBlockSize - file.size;
        ++next_;
    }

    void fail(const std::string& fault) { error_ = "the data track cannot be read: " + fault; }

    std::shared_ptr<const FolderLayout> layout_;
    std::shared_ptr<const ContentOrder> order_;
    burn_source* source_;
    std::shared_ptr<StreamsShared> shared_;
    std::uint64_t fromLibisofs_;           // bytes still to come from libisofs
    std::size_t next_ = 0;                 // the file being read, in order_->files
    const std::string* folder_ = nullptr;  // the folder of the last file opened by its name
    UniqueFd folderFd_;
    UniqueFd fd_;
    std::uint64_t taken_ = 0;
    std::uint64_t padding_ = 0;
    std::string error_;
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
        if (size < 0 || static_cast<std::uint64_t>(size) != bytes_) {
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

std::unique_ptr<FilesystemImage> makeIsoImage(FolderLayout layout, std::string& error) {
    auto shared = std::make_shared<const FolderLayout>(std::move(layout));
    auto order = std::make_shared<const ContentOrder>(contentOrder(*shared));
    auto tree = buildTree(*shared, *order, order->known, error);
    const auto measured = tree ? measure(*tree, *shared, *order, error) : std::nullopt;
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

}  // namespace kilnware::platform::media
