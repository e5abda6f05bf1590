// UDF images through genisoimage. libisofs writes no UDF, so the image is made once, when the
// track is made, into a temporary file that the track's readers then stream.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/foundation/Task.h>

#include "platform/media/FilesystemImage.h"

namespace kilnware::platform::media {

namespace {

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string directories = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::string directory = directories.substr(start, end - start);
        if (!directory.empty()) {
            const std::string candidate = directory + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return "/usr/bin/" + name;
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
        } else if (::symlink(child.sourcePath.c_str(), path.c_str()) != 0) {
            error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            return false;
        }
    }
    return true;
}

class FileReader : public DRTrackReader {
public:
    FileReader(int fd, std::uint64_t bytes) : fd_(fd), remaining_(bytes) {}
    ~FileReader() override { ::close(fd_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    std::size_t read(std::span<std::byte> out) override {
        if (!error_.empty() || remaining_ == 0 || out.empty()) {
            return 0;
        }
        const auto wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>({out.size(), remaining_, std::uint64_t{1} << 30}));
        std::size_t got = 0;
        while (got < wanted) {
            const ssize_t n = ::read(fd_, out.data() + got, wanted - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error_ = "the data track cannot be read: " + std::string(std::strerror(errno));
                return 0;
            }
            if (n == 0) {
                error_ = "the data track ended early: its image file has shrunk";
                return 0;
            }
            got += static_cast<std::size_t>(n);
        }
        remaining_ -= got;
        return got;
    }

    const std::string& error() const override { return error_; }

private:
    int fd_;
    std::uint64_t remaining_;
    std::string error_;
};

class UdfFilesystemImage : public FilesystemImage {
public:
    UdfFilesystemImage(std::string workDirectory, std::string imagePath, std::uint64_t bytes)
        : workDirectory_(std::move(workDirectory)),
          imagePath_(std::move(imagePath)),
          bytes_(bytes) {}
    ~UdfFilesystemImage() override { removeTree(workDirectory_); }
    UdfFilesystemImage(const UdfFilesystemImage&) = delete;
    UdfFilesystemImage& operator=(const UdfFilesystemImage&) = delete;

    std::uint64_t blockCount() const override { return bytes_ / DRTrack::kDataBlockSize; }

    std::unique_ptr<DRTrackReader> newReader() const override {
        const int fd = ::open(imagePath_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return failedReader("the data track cannot be read: its image " + imagePath_ + ": " +
                                std::strerror(errno));
        }
        return std::make_unique<FileReader>(fd, bytes_);
    }

private:
    std::string workDirectory_;
    std::string imagePath_;
    std::uint64_t bytes_;
};

}  // namespace

std::unique_ptr<FilesystemImage> makeUdfImage(FolderLayout layout, std::string& error) {
    const char* base = std::getenv("TMPDIR");
    std::string workDirectory = std::string(base && *base ? base : "/tmp") + "/kilnware-udf-XXXXXX";
    if (!::mkdtemp(workDirectory.data())) {
        error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
        return nullptr;
    }
    const std::string tree = workDirectory + "/tree";
    const std::string imagePath = workDirectory + "/image.udf";
    if (::mkdir(tree.c_str(), 0755) != 0 || !stage(layout.root, tree, error)) {
        if (error.empty()) {
            error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
        }
        removeTree(workDirectory);
        return nullptr;
    }

    const bool iso9660 = (layout.mask & DRFilesystemInclusionMaskISO9660) != 0;
    const bool joliet = (layout.mask & DRFilesystemInclusionMaskJoliet) != 0;
    std::vector<std::string> arguments = {
        "-quiet", "-input-charset", "utf-8", "-udf", "-iso-level", "3",
        // The staged links stand for the files themselves.
        "-follow-links", "-V", udfVolumeId(layout.volumeName), "-o", imagePath};
    if (iso9660) {
        arguments.push_back("-R");
    } else {
        // The ISO 9660 tree stays empty; its volume descriptor is still needed. Files over 4 GiB
        // then need not fit ISO 9660 either.
        arguments.insert(arguments.end(), {"-hide", "*", "-allow-limited-size"});
    }
    if (joliet) {
        arguments.insert(arguments.end(), {"-J", "-joliet-long"});
    }
    arguments.push_back(tree);

    Task task;
    task.setLaunchPath(findProgram("genisoimage"));
    task.setArguments(std::move(arguments));
    task.launch();
    task.waitUntilExit();
    const int status = task.terminationStatus().value_or(Task::kUnknownStatus);
    removeTree(tree);

    struct stat info {};
    if (status != 0 || ::stat(imagePath.c_str(), &info) != 0) {
        error = status == Task::kLaunchFailedStatus
                    ? "UDF images need genisoimage, which cannot be started"
                    : "genisoimage could not make the UDF image (status " + std::to_string(status) +
                          ")";
        removeTree(workDirectory);
        return nullptr;
    }
    const auto bytes = static_cast<std::uint64_t>(info.st_size);
    if (bytes == 0 || bytes % DRTrack::kDataBlockSize != 0) {
        error = "genisoimage gave an image of " + std::to_string(bytes) + " bytes";
        removeTree(workDirectory);
        return nullptr;
    }
    return std::make_unique<UdfFilesystemImage>(std::move(workDirectory), imagePath, bytes);
}

}  // namespace kilnware::platform::media
