// ISO 9660, Joliet and HFS+ images through libisofs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

// libisofs hands out libburn's struct burn_source, which libburn.h declares in namespace burn.
#include <libburn/libburn.h>
#include <libisofs/libisofs.h>

#include <kilnware/platform/discrecording/DRFolder.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/media/FilesystemImage.h"

namespace kilnware::platform::media {

namespace {

bool initialiseLibisofs(std::string& error) {
    static std::once_flag once;
    static int status = 0;
    std::call_once(once, [] {
        // Bit 0 keeps libisofs from calling setlocale(), which belongs to the host; every name
        // of the library is UTF-8 anyway.
        status = iso_init_with_flag(1);
        if (status >= 0) {
            char charset[] = "UTF-8";
            iso_set_local_charset(charset, 0);
            // Failures come back through return codes; nothing queues up or goes to stderr.
            char never[] = "NEVER";
            char prefix[] = "libisofs: ";
            iso_set_msgs_severities(never, never, prefix);
        }
    });
    if (status < 0) {
        error = std::string("libisofs cannot start: ") + iso_error_to_msg(status);
        return false;
    }
    return true;
}

std::string isoReason(int code) {
    return iso_error_to_msg(code);
}

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

// libisofs' struct iso_stream, whose member "class" C++ cannot name: the same layout under
// another name, as libisofs itself advises.
struct StreamHeader {
    IsoStreamIface* klass;
    int refcount;
    void* data;
};

// A file's content, read from disk while the image is written. Its size is the one of the layout,
// whatever the file holds by then, so that every image of a layout has the same size. The file
// must be the one laid out, unchanged, from its opening until after its last byte was read: a
// file that is gone, was replaced, or was written meanwhile is recorded as a fault, so that no
// mixed or short copy passes for the file.
struct FileStream {
    std::string path;
    off_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    timespec changed{};
    std::shared_ptr<WriteFaults> faults;
    UniqueFd fd;
    off_t delivered = 0;
    off_t taken = 0;  // bytes read from the file so far
    // What was read ahead of libisofs, which asks for one block at a time: a read() per block
    // would cost more than the copy.
    std::unique_ptr<char[]> ahead;
    size_t aheadStart = 0;
    size_t aheadEnd = 0;
};

constexpr off_t kReadAhead = off_t{256} << 10;

FileStream& fileStream(IsoStream* stream) {
    return *static_cast<FileStream*>(reinterpret_cast<StreamHeader*>(stream)->data);
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the open file is still the one of the layout as it stood then.
bool unchanged(const FileStream& file) {
    struct stat info {};
    return ::fstat(file.fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_dev == file.device && info.st_ino == file.inode && info.st_size == file.size &&
           sameTime(info.st_mtim, file.modified) && sameTime(info.st_ctim, file.changed);
}

int streamOpen(IsoStream* stream) {
    FileStream& file = fileStream(stream);
    if (file.fd) {
        return static_cast<int>(ISO_FILE_ALREADY_OPENED);
    }
    file.fd.reset(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.fd) {
        const int reason = errno;
        file.faults->record(file.path + ": " + std::strerror(reason));
        return static_cast<int>(reason == ENOENT ? ISO_FILE_DOESNT_EXIST : ISO_FILE_ERROR);
    }
    file.delivered = file.taken = 0;
    file.aheadStart = file.aheadEnd = 0;
    if (!unchanged(file)) {
        file.faults->record(file.path + " changed while it was burned");
        return static_cast<int>(ISO_FILE_ERROR);
    }
    ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return ISO_SUCCESS;
}

int streamClose(IsoStream* stream) {
    FileStream& file = fileStream(stream);
    if (!file.fd) {
        return static_cast<int>(ISO_FILE_NOT_OPENED);
    }
    file.fd.reset();
    file.ahead.reset();
    return ISO_SUCCESS;
}

off_t streamSize(IsoStream* stream) {
    return fileStream(stream).size;
}

// Fills the read-ahead buffer with up to `limit` bytes; false on a read error or a change, which
// is recorded. After the file's last byte the file is looked at once more: written meanwhile, it
// may have given a mix of old and new bytes.
bool readAhead(FileStream& file, size_t limit) {
    const auto capacity = static_cast<size_t>(std::min<off_t>(file.size, kReadAhead));
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
            file.faults->record(file.path + ": " + std::strerror(errno));
            return false;
        }
        if (got == 0) {
            file.faults->record(file.path + " changed while it was burned: it ended early");
            return false;
        }
        done += static_cast<size_t>(got);
    }
    file.taken += static_cast<off_t>(done);
    if (file.taken == file.size && !unchanged(file)) {
        file.faults->record(file.path + " changed while it was burned");
        return false;
    }
    file.aheadStart = 0;
    file.aheadEnd = done;
    return true;
}

int streamRead(IsoStream* stream, void* buffer, size_t count) {
    FileStream& file = fileStream(stream);
    if (!file.fd) {
        return static_cast<int>(ISO_FILE_NOT_OPENED);
    }
    // Never more than the layout's size; libisofs wants full counts until the end.
    const auto wanted = static_cast<size_t>(std::min<off_t>(
        static_cast<off_t>(std::min<size_t>(count, INT_MAX)), file.size - file.delivered));
    size_t done = 0;
    while (done < wanted) {
        if (file.aheadStart == file.aheadEnd) {
            const auto left = static_cast<size_t>(file.size - file.delivered) - done;
            if (!readAhead(file, left)) {
                return static_cast<int>(ISO_FILE_READ_ERROR);
            }
        }
        const size_t n = std::min(wanted - done, file.aheadEnd - file.aheadStart);
        std::memcpy(static_cast<char*>(buffer) + done, file.ahead.get() + file.aheadStart, n);
        file.aheadStart += n;
        done += n;
    }
    file.delivered += static_cast<off_t>(done);
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

void streamFree(IsoStream* stream) {
    delete &fileStream(stream);
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
    .cmp_ino = nullptr,  // libisofs compares the ids
    .clone_stream = streamClone,
};

IsoStream* newFileStream(const LaidOutNode& node, std::shared_ptr<WriteFaults> faults) {
    // libisofs frees the header with free() once the last reference goes.
    auto* header = static_cast<StreamHeader*>(std::malloc(sizeof(StreamHeader)));
    if (!header) {
        return nullptr;
    }
    header->klass = &fileStreamClass;
    header->refcount = 1;
    auto* file = new FileStream;
    file->path = node.sourcePath;
    file->size = static_cast<off_t>(node.size);
    file->device = node.device;
    file->inode = node.inode;
    file->modified = {static_cast<time_t>(node.modified),
                      static_cast<long>(node.modifiedNanoseconds)};
    file->changed = node.changed;
    file->faults = std::move(faults);
    header->data = file;
    return reinterpret_cast<IsoStream*>(header);
}

void setAttributes(IsoNode* node, const LaidOutNode& source, int hidden) {
    mode_t mode = source.directory ? 0555 : (source.executable ? 0555 : 0444);
    iso_node_set_permissions(node, mode);
    iso_node_set_uid(node, 0);
    iso_node_set_gid(node, 0);
    const auto when = static_cast<time_t>(source.modified);
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

bool addChildren(IsoImage* image, IsoDir* parent, const LaidOutNode& folder, int hidden,
                 const std::shared_ptr<WriteFaults>& faults, const std::string& where,
                 std::string& error) {
    for (const LaidOutNode& child : folder.children) {
        const std::string path = where + "/" + child.name;
        IsoNode* node = nullptr;
        int status = 0;
        if (child.directory) {
            IsoDir* directory = nullptr;
            status = iso_image_add_new_dir(image, parent, child.name.c_str(), &directory);
            node = reinterpret_cast<IsoNode*>(directory);
            if (status >= 0 && !addChildren(image, directory, child, hidden, faults, path, error)) {
                return false;
            }
        } else {
            IsoStream* stream = newFileStream(child, faults);
            if (!stream) {
                error = "out of memory";
                return false;
            }
            IsoFile* file = nullptr;
            status = iso_image_add_new_file(image, parent, child.name.c_str(), stream, &file);
            if (status < 0) {
                iso_stream_unref(stream);
            }
            node = reinterpret_cast<IsoNode*>(file);
        }
        if (status < 0) {
            error = path + ": " + isoReason(status);
            return false;
        }
        setAttributes(node, child, hidden);
    }
    return true;
}

using burn::burn_source;

struct SourceAndFaults {
    burn_source* source = nullptr;
    std::shared_ptr<WriteFaults> faults;
};

// Starts writing the image of `layout`; only its size is wanted when `sizeOnly`.
std::optional<SourceAndFaults> startImage(const FolderLayout& layout, bool sizeOnly,
                                          std::string& error) {
    if (!initialiseLibisofs(error)) {
        return std::nullopt;
    }
    IsoImageRef image;
    // libisofs maps the name for each file system: ISO 9660 d-characters, Joliet and HFS+ as
    // they are.
    int status = iso_image_new(layout.volumeName.c_str(), image.out());
    if (status < 0) {
        error = "libisofs cannot make an image: " + isoReason(status);
        return std::nullopt;
    }
    // Names longer than Rock Ridge allows are refused, not cut.
    iso_image_set_truncate_mode(image.get(), 0, 255);

    const bool iso9660 = (layout.mask & DRFilesystemInclusionMaskISO9660) != 0;
    const bool joliet = (layout.mask & DRFilesystemInclusionMaskJoliet) != 0;
    const bool hfsPlus = (layout.mask & DRFilesystemInclusionMaskHFSPlus) != 0;
    // A Joliet disc carries the same tree in plain ISO 9660 too, for the players (car stereos)
    // that read nothing else.
    const bool primaryTree = iso9660 || joliet;
    const int hidden = (primaryTree ? 0 : LIBISO_HIDE_ON_RR) |
                       (joliet ? 0 : LIBISO_HIDE_ON_JOLIET) |
                       (hfsPlus ? 0 : LIBISO_HIDE_ON_HFSPLUS);

    auto faults = std::make_shared<WriteFaults>();
    IsoDir* root = iso_image_get_root(image.get());
    setAttributes(reinterpret_cast<IsoNode*>(root), layout.root, 0);
    if (!addChildren(image.get(), root, layout.root, hidden, faults, "", error)) {
        return std::nullopt;
    }

    WriteOpts opts;
    status = iso_write_opts_new(opts.out(), 0);
    if (status < 0) {
        error = "libisofs cannot make an image: " + isoReason(status);
        return std::nullopt;
    }
    IsoWriteOpts* o = opts.get();
    iso_write_opts_set_iso_level(o, 3);
    iso_write_opts_set_rockridge(o, iso9660 ? 1 : 0);
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
    iso_write_opts_set_will_cancel(o, sizeOnly ? 1 : 0);

    ::burn_source* created = nullptr;
    status = iso_image_create_burn_source(image.get(), o, &created);
    auto* source = reinterpret_cast<burn_source*>(created);
    if (status < 0 || !source) {
        error = "libisofs cannot lay the tree out: " + isoReason(status);
        return std::nullopt;
    }
    return SourceAndFaults{source, std::move(faults)};
}

void stopImage(burn_source* source, bool finished) {
    if (!finished && source->cancel) {
        source->cancel(source);
    }
    burn::burn_source_free(source);
}

class IsoReader : public DRTrackReader {
public:
    IsoReader(SourceAndFaults image, std::uint64_t bytes)
        : source_(image.source), faults_(std::move(image.faults)), remaining_(bytes) {}
    ~IsoReader() override { stopImage(source_, finished_); }
    IsoReader(const IsoReader&) = delete;
    IsoReader& operator=(const IsoReader&) = delete;

    std::size_t read(std::span<std::byte> out) override {
        if (finished_ || !error_.empty() || out.empty()) {
            return 0;
        }
        const auto wanted = static_cast<int>(
            std::min<std::uint64_t>({out.size(), remaining_, std::uint64_t{1} << 30}));
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
        if (auto fault = faults_->fault()) {
            error_ = "the data track cannot be read: " + *fault;
            return 0;
        }
        if (got < wanted) {
            error_ = "the data track ended early: libisofs stopped writing the image";
            return 0;
        }
        remaining_ -= static_cast<std::uint64_t>(got);
        finished_ = remaining_ == 0;
        return static_cast<std::size_t>(got);
    }

    const std::string& error() const override { return error_; }

private:
    burn_source* source_;
    std::shared_ptr<WriteFaults> faults_;
    std::uint64_t remaining_;
    bool finished_ = false;
    std::string error_;
};

class IsoFilesystemImage : public FilesystemImage {
public:
    IsoFilesystemImage(FolderLayout layout, std::uint64_t bytes)
        : layout_(std::move(layout)), bytes_(bytes) {}

    std::uint64_t blockCount() const override { return bytes_ / DRTrack::kDataBlockSize; }

    std::unique_ptr<DRTrackReader> newReader() const override {
        std::string error;
        auto image = startImage(layout_, false, error);
        if (!image) {
            return failedReader("the data track cannot be read: " + error);
        }
        const off_t size = image->source->get_size(image->source);
        if (size < 0 || static_cast<std::uint64_t>(size) != bytes_) {
            stopImage(image->source, false);
            return failedReader("the data track cannot be read: its size has changed");
        }
        return std::make_unique<IsoReader>(std::move(*image), bytes_);
    }

private:
    FolderLayout layout_;
    std::uint64_t bytes_;
};

}  // namespace

std::unique_ptr<FilesystemImage> makeIsoImage(FolderLayout layout, std::string& error) {
    auto image = startImage(layout, true, error);
    if (!image) {
        return nullptr;
    }
    const off_t size = image->source->get_size(image->source);
    stopImage(image->source, false);
    if (size <= 0 || size % static_cast<off_t>(DRTrack::kDataBlockSize) != 0) {
        error = "libisofs gave an image of " + std::to_string(size) + " bytes";
        return nullptr;
    }
    return std::make_unique<IsoFilesystemImage>(std::move(layout),
                                                static_cast<std::uint64_t>(size));
}

}  // namespace kilnware::platform::media
