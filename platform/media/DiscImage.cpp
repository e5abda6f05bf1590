#include "platform/media/DiscImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <kilnware/platform/discrecording/DRBurn.h>

#include "platform/foundation/InputFile.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/FilesystemImage.h"

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
    const UniqueFd file = openRegularFile(path);
    return file ? readDiscImageInfo(file.get()) : std::nullopt;
}

std::optional<DiscImageInfo> readDiscImageInfo(int fd) {
    DiscImageInfo info;
    std::array<char, kSector> sector{};
    for (std::size_t i = 0; i < kDescriptorsRead; ++i) {
        const auto offset = static_cast<off_t>((kFirstDescriptor + i) * kSector);
        if (::pread(fd, sector.data(), sector.size(), offset) !=
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

// The image's bytes as they lie in its file, the last block filled up with zeros. The file must
// be the one measured, unchanged, from its opening until after its last byte was read.
class ImageReader : public DRTrackReader {
public:
    ImageReader(std::string path, UniqueFd fd, FileIdentity file, std::uint64_t bytes)
        : path_(std::move(path)), fd_(std::move(fd)), file_(file), left_(bytes) {}

    std::size_t read(std::span<std::byte> out) override {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), left_));
        std::size_t got = 0;
        while (got < want && error_.empty()) {
            ssize_t n = ::read(fd_.get(), out.data() + got, want - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
            } else if (n == 0) {
                // The file's end: what is left of its last block is zeros (a file cut short
                // fails below, as every change does).
                std::memset(out.data() + got, 0, want - got);
                got = want;
            } else if (errno != EINTR) {
                error_ = path_ + ": " + std::strerror(errno);
            }
        }
        left_ -= got;
        if (left_ == 0 && error_.empty() && FileIdentity::of(fd_.get()) != file_) {
            error_ = path_ + " changed while it was burned";
            return 0;
        }
        return got;
    }
    const std::string& error() const override { return error_; }

private:
    std::string path_;
    UniqueFd fd_;
    FileIdentity file_;
    std::uint64_t left_;
    std::string error_;
};

// A disc image burned as it stands, its last block filled up with zeros.
class ImageTrack : public DRTrack {
public:
    ImageTrack(std::string path, FileIdentity file, std::optional<std::string> volumeName)
        : path_(std::move(path)), file_(file), volumeName_(std::move(volumeName)) {}

    Kind kind() const override { return Kind::DiscImage; }
    std::uint64_t estimateLength() const override {
        return (file_.size + kDataBlockSize - 1) / kDataBlockSize;
    }
    std::unique_ptr<DRTrackReader> newReader() const override {
        UniqueFd fd = openRegularFile(path_);
        if (!fd) {
            return media::failedReader(path_ + ": " + whyNotRegularFile(errno));
        }
        if (FileIdentity::of(fd.get()) != file_) {
            return media::failedReader(path_ + " has changed since it was chosen");
        }
        return std::make_unique<ImageReader>(path_, std::move(fd), file_,
                                             estimateLength() * kDataBlockSize);
    }
    std::string description() const override { return path_; }
    std::optional<std::string> volumeName() const override { return volumeName_; }
    // A whole number of blocks can be copied as it lies; a short last block must be filled up.
    std::optional<FileExtent> fileExtent() const override {
        if (file_.size % kDataBlockSize != 0) {
            return std::nullopt;
        }
        return FileExtent{path_, 0, file_.size, file_};
    }

private:
    std::string path_;
    FileIdentity file_;
    std::optional<std::string> volumeName_;
};

}  // namespace

std::shared_ptr<DRTrack> DRBurn::layoutForImageFile(const std::string& path) {
    std::string ignored;
    return layoutForImageFile(path, ignored);
}

std::shared_ptr<DRTrack> DRBurn::layoutForImageFile(const std::string& path, std::string& why) {
    const UniqueFd fd = openRegularFile(path);
    const auto file = fd ? FileIdentity::of(fd.get()) : std::nullopt;
    if (!file) {
        why = path + ": " + whyNotRegularFile(errno);
        return nullptr;
    }
    if (file->size == 0) {
        why = path + " is empty";
        return nullptr;
    }
    auto image = media::readDiscImageInfo(fd.get());
    if (!image) {
        why = path + " is no disc image: it holds no ISO 9660 or UDF volume descriptors";
        return nullptr;
    }
    return std::make_shared<ImageTrack>(path, *file, image->volumeName);
}

}  // namespace kilnware::platform
