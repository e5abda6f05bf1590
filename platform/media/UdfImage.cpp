// UDF images through genisoimage. libisofs writes no UDF, so genisoimage streams each reader's
// image through a pipe; its size comes first, from genisoimage's own reckoning.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/foundation/Task.h>

#include "platform/foundation/FindProgram.h"
#include "platform/media/FilesystemImage.h"

namespace kilnware::platform::media {

namespace {

std::string genisoimage() {
    return findProgram("genisoimage").value_or("/usr/bin/genisoimage");
}

// genisoimage takes at most 32 bytes; cut at a character boundary.
std::string udfVolumeId(const std::string& name) {
    if (name.size() <= 32) {
        return name;
    }
    std::size_t end = 32;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return name.substr(0, end);
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// Mirrors the layout on disk: folders as folders, files as links to what the layout read, so that
// genisoimage sees the layout and nothing else.
bool stage(const LaidOutNode& folder, const std::string& into, std::string& error) {
    for (const LaidOutNode& child : folder.children) {
        const std::string path = into + "/" + child.name;
        if (child.directory) {
            if (::mkdir(path.c_str(), 0755) != 0 || !stage(child, path, error)) {
                if (error.empty()) {
                    error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
                }
                return false;
            }
            const timespec times[2] = {{child.modified, 0}, {child.modified, 0}};
            ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        } else if (::symlink(child.sourcePath().c_str(), path.c_str()) != 0) {
            error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The staged mirror of a layout, in a private temporary folder that goes with it.
class StagedTree {
public:
    static std::unique_ptr<StagedTree> make(const FolderLayout& layout, std::string& error) {
        const char* base = std::getenv("TMPDIR");
        std::string folder =
            std::string(base && *base == '/' ? base : "/tmp") + "/kilnware-udf-XXXXXX";
        if (!::mkdtemp(folder.data())) {
            error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            return nullptr;
        }
        std::unique_ptr<StagedTree> staged(new StagedTree(folder));
        const std::string tree = staged->tree();
        if (::mkdir(tree.c_str(), 0755) != 0 || !stage(layout.root, tree, error)) {
            if (error.empty()) {
                error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            }
            return nullptr;
        }
        const timespec times[2] = {{layout.root.modified, 0}, {layout.root.modified, 0}};
        ::utimensat(AT_FDCWD, tree.c_str(), times, 0);
        return staged;
    }
    ~StagedTree() { removeTree(folder_); }
    StagedTree(const StagedTree&) = delete;
    StagedTree& operator=(const StagedTree&) = delete;
    std::string tree() const { return folder_ + "/tree"; }

private:
    explicit StagedTree(std::string folder) : folder_(std::move(folder)) {}
    std::string folder_;
};

std::vector<std::string> genisoimageArguments(const FolderLayout& layout, const std::string& tree,
                                              bool sizeOnly) {
    const bool iso9660 = (layout.mask & DRFilesystemInclusionMaskISO9660) != 0;
    const bool joliet = (layout.mask & DRFilesystemInclusionMaskJoliet) != 0;
    std::vector<std::string> arguments = {"-quiet", "-input-charset", "utf-8", "-udf", "-iso-level",
                                          "3",
                                          // The staged links stand for the files themselves.
                                          "-follow-links", "-V", udfVolumeId(layout.volumeName)};
    if (iso9660) {
        // Rock Ridge also relocates folders deeper than ISO 9660's eight levels.
        arguments.push_back("-R");
    } else {
        // The ISO 9660 tree stays empty; its volume descriptor is still needed. Files over 4 GiB
        // then need not fit ISO 9660 either, nor folders its depth.
        arguments.insert(arguments.end(), {"-hide", "*", "-allow-limited-size", "-D"});
    }
    if (joliet) {
        arguments.insert(arguments.end(), {"-J", "-joliet-long"});
    }
    if (sizeOnly) {
        arguments.push_back("-print-size");
    }
    arguments.push_back(tree);
    return arguments;
}

// The first file of the layout that is not as the layout found it, if any: genisoimage reads the
// files itself, so a file that changed is found by looking before and after it did.
std::optional<std::string> changedFile(const LaidOutNode& folder) {
    for (const LaidOutNode& child : folder.children) {
        if (child.directory) {
            if (auto changed = changedFile(child)) {
                return changed;
            }
            continue;
        }
        struct stat info {};
        if (::stat(child.sourcePath().c_str(), &info) != 0 ||
            FileIdentity::of(info) != child.identity()) {
            return child.sourcePath();
        }
    }
    return std::nullopt;
}

// The image as genisoimage writes it to its standard output, cut to the size it announced. The
// program ends with the reader, and so does the staged tree.
class StreamReader : public DRTrackReader {
    // After this long without a byte from genisoimage the files are looked at.
    static constexpr int kStall = 1000;

public:
    StreamReader(const FolderLayout& layout, std::unique_ptr<StagedTree> staged,
                 std::unique_ptr<Task> task, std::uint64_t bytes)
        : layout_(layout), staged_(std::move(staged)), task_(std::move(task)), remaining_(bytes) {}
    ~StreamReader() override {
        task_.reset();  // ends genisoimage, if it still runs, before its tree goes
    }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    std::size_t read(std::span<std::byte> out) override {
        if (!error_.empty() || remaining_ == 0 || out.empty()) {
            return 0;
        }
        const auto wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>({out.size(), remaining_, std::uint64_t{1} << 30}));
        std::size_t got = 0;
        while (got < wanted) {
            const ssize_t n = readSome(out.data() + got, wanted - got);
            if (n < 0) {
                return 0;
            }
            if (n == 0) {
                task_->waitUntilExit();
                auto changed = changedFile(layout_.root);
                error_ = changed
                             ? "the data track cannot be read: " + *changed +
                                   " has changed since the track was laid out"
                             : "the data track ended early: genisoimage stopped (status " +
                                   std::to_string(task_->terminationStatus().value_or(-1)) + ")";
                return 0;
            }
            got += static_cast<std::size_t>(n);
        }
        remaining_ -= got;
        if (remaining_ == 0) {
            // The whole image is there only when genisoimage ends its output there and says it
            // made it of the files as they were laid out.
            std::byte more;
            const ssize_t n = readSome(&more, 1);
            if (n != 0) {
                if (n > 0) {
                    error_ = "genisoimage made a larger UDF image than it announced";
                }
                return 0;
            }
            task_->waitUntilExit();
            if (task_->terminationStatus() != 0) {
                error_ = "genisoimage could not make the UDF image (status " +
                         std::to_string(task_->terminationStatus().value_or(-1)) + ")";
                return 0;
            }
            if (auto changed = changedFile(layout_.root)) {
                error_ = "the data track cannot be read: " + *changed +
                         " has changed since the track was laid out";
                return 0;
            }
        }
        return got;
    }

    const std::string& error() const override { return error_; }

private:
    // The next bytes genisoimage writes, 0 at the end of its output; -1 with error_ set.
    ssize_t readSome(void* buffer, std::size_t size) {
        for (;;) {
            const ssize_t n = task_->readStandardOutput(buffer, size, kStall);
            if (n >= 0) {
                return n;
            }
            if (errno != ETIMEDOUT) {
                error_ = "the data track cannot be read: " + std::string(std::strerror(errno));
                return -1;
            }
            // genisoimage waits on something: a pipe put in a file's place waits for ever.
            if (auto changed = changedFile(layout_.root)) {
                error_ = "the data track cannot be read: " + *changed +
                         " has changed since the track was laid out";
                return -1;
            }
        }
    }

    const FolderLayout& layout_;
    std::unique_ptr<StagedTree> staged_;
    std::unique_ptr<Task> task_;
    std::uint64_t remaining_;
    std::string error_;
};

class UdfFilesystemImage : public FilesystemImage {
public:
    UdfFilesystemImage(FolderLayout layout, std::uint64_t bytes)
        : layout_(std::move(layout)), bytes_(bytes) {}

    std::uint64_t blockCount() const override { return bytes_ / DRTrack::kDataBlockSize; }

    std::unique_ptr<DRTrackReader> newReader() const override {
        if (auto changed = changedFile(layout_.root)) {
            return failedReader("the data track cannot be read: " + *changed +
                                " has changed since the track was laid out");
        }
        std::string error;
        auto staged = StagedTree::make(layout_, error);
        if (!staged) {
            return failedReader("the data track cannot be read: " + error);
        }
        auto task = std::make_unique<Task>();
        task->setLaunchPath(genisoimage());
        task->setArguments(genisoimageArguments(layout_, staged->tree(), false));
        task->setStandardOutput(Task::Output::Pipe);
        if (!task->launch()) {
            return failedReader("UDF images need genisoimage, which cannot be started");
        }
        return std::make_unique<StreamReader>(layout_, std::move(staged), std::move(task), bytes_);
    }

private:
    FolderLayout layout_;
    std::uint64_t bytes_;
};

}  // namespace

// The size comes from genisoimage's own reckoning, without writing anything: the fit is known
// before a byte is made, and no image waits in a temporary file.
std::unique_ptr<FilesystemImage> makeUdfImage(FolderLayout layout, std::string& error) {
    auto staged = StagedTree::make(layout, error);
    if (!staged) {
        return nullptr;
    }
    Task task;
    task.setLaunchPath(genisoimage());
    task.setArguments(genisoimageArguments(layout, staged->tree(), true));
    task.setStandardOutput(Task::Output::Pipe);
    std::string printed;
    if (task.launch()) {
        char buffer[256];
        ssize_t n;
        while ((n = task.readStandardOutput(buffer, sizeof buffer)) > 0 && printed.size() < 4096) {
            printed.append(buffer, static_cast<std::size_t>(n));
        }
    }
    task.waitUntilExit();
    const int status = task.terminationStatus().value_or(Task::kUnknownStatus);
    char* end = nullptr;
    const unsigned long long sectors = std::strtoull(printed.c_str(), &end, 10);
    if (status != 0 || end == printed.c_str() || sectors == 0) {
        error = status == Task::kLaunchFailedStatus
                    ? "UDF images need genisoimage, which cannot be started"
                    : "genisoimage could not lay out the UDF image (status " +
                          std::to_string(status) + ")";
        return nullptr;
    }
    return std::make_unique<UdfFilesystemImage>(std::move(layout),
                                                sectors * DRTrack::kDataBlockSize);
}

}  // namespace kilnware::platform::media
