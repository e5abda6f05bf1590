#include "platform/media/DiscImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <kilnware/platform/discrecording/DRBurn.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"

namespace kilnware::platform {

namespace media {

namespace {
constexpr std::size_t kSector = 2048;
constexpr std::size_t kFirstDescriptor = 16;
constexpr std::size_t kDescriptorsRead = 16;

// A big-endian UCS-2 name, blanks at its end trimmed; none when it is empty.
std::optional<std::string> ucs2ToUtf8(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i + 1 < name.size(); i += 2) {
        appendUtf8(out, static_cast<char32_t>((static_cast<unsigned char>(name[i]) << 8) |
                                              static_cast<unsigned char>(name[i + 1])));
    }
    out.erase(out.find_last_not_of(std::string_view("\0 ", 2)) + 1);
    if (out.empty()) {
        return std::nullopt;
    }
    return out;
}
}  // namespace

std::optional<DiscImageInfo> readDiscImageInfo(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return std::nullopt;
    }
    DiscImageInfo info;
    std::array<char, kSector> sector{};
    for (std::size_t i = 0; i < kDescriptorsRead; ++i) {
        const auto offset = static_cast<off_t>((kFirstDescriptor + i) * kSector);
        if (::pread(file.get(), sector.data(), sector.size(), offset) !=
            static_cast<ssize_t>(sector.size())) {
            break;
        }
        const std::string_view identifier(sector.data() + 1, 5);
        if (identifier == "CD001") {
            // Bytes 40 to 71 name the volume: in d-characters in the primary descriptor (type 1),
            // in UCS-2 in Joliet's (type 2), whose name keeps case and spaces and so wins.
            if (sector[0] == 1 && !info.volumeName) {
                std::string name(sector.data() + 40, 32);
                name.erase(name.find_last_not_of(' ') + 1);
                info.volumeName = name;
            } else if (sector[0] == 2 && std::string_view(sector.data() + 88, 2) == "%/") {
                if (auto joliet = ucs2ToUtf8(std::string_view(sector.data() + 40, 32))) {
                    info.volumeName = joliet;
                }
            }
            info.iso9660 = true;
        } else if (identifier == "NSR02" || identifier == "NSR03") {
            info.udf = true;
        }
    }
    if (!info.iso9660 && !info.udf) {
        return std::nullopt;
    }
    return info;
}

}  // namespace media

namespace {

class ImageReader : public DRTrackReader {
public:
    ImageReader(int fd, std::uint64_t bytes) : fd_(fd), left_(bytes) {}
    ~ImageReader() override { ::close(fd_); }
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    std::size_t read(std::span<std::byte> out) override {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), left_));
        std::size_t got = 0;
        while (got < want && error_.empty()) {
            ssize_t n = ::read(fd_, out.data() + got, want - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
            } else if (n == 0) {
                // The file shrank since it was measured: the rest of its last block is zeros,
                // anything more is an error.
                if (left_ - got >= DRTrack::kDataBlockSize) {
                    error_ = "The disc image became shorter while it was burned.";
                    break;
                }
                std::memset(out.data() + got, 0, want - got);
                got = want;
            } else if (errno != EINTR) {
                error_ = std::strerror(errno);
            }
        }
        left_ -= got;
        return got;
    }
    const std::string& error() const override { return error_; }

private:
    int fd_;
    std::uint64_t left_;
    std::string error_;
};

// A disc image burned as it stands, its last block filled up with zeros.
class ImageTrack : public DRTrack {
public:
    ImageTrack(std::string path, std::uint64_t bytes, std::optional<std::string> volumeName)
        : path_(std::move(path)), bytes_(bytes), volumeName_(std::move(volumeName)) {}

    Kind kind() const override { return Kind::DiscImage; }
    std::uint64_t estimateLength() const override {
        return (bytes_ + kDataBlockSize - 1) / kDataBlockSize;
    }
    std::unique_ptr<DRTrackReader> newReader() const override {
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return nullptr;
        }
        return std::make_unique<ImageReader>(fd, estimateLength() * kDataBlockSize);
    }
    std::string description() const override { return path_; }
    std::optional<std::string> volumeName() const override { return volumeName_; }
    // A whole number of blocks can be copied as it lies; a short last block must be filled up.
    std::optional<FileExtent> fileExtent() const override {
        if (bytes_ % kDataBlockSize != 0) {
            return std::nullopt;
        }
        return FileExtent{path_, 0, bytes_};
    }

private:
    std::string path_;
    std::uint64_t bytes_;
    std::optional<std::string> volumeName_;
};

}  // namespace

std::shared_ptr<DRTrack> DRBurn::layoutForImageFile(const std::string& path) {
    std::string ignored;
    return layoutForImageFile(path, ignored);
}

std::shared_ptr<DRTrack> DRBurn::layoutForImageFile(const std::string& path, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        why = path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
        why = path + (S_ISREG(info.st_mode) ? " is empty" : " is not a regular file");
        return nullptr;
    }
    auto image = media::readDiscImageInfo(path);
    if (!image) {
        why = path + " is no disc image: it holds no ISO 9660 or UDF volume descriptors";
        return nullptr;
    }
    return std::make_shared<ImageTrack>(path, static_cast<std::uint64_t>(info.st_size),
                                        image->volumeName);
}

}  // namespace kilnware::platform
