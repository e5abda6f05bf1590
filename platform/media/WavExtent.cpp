#include "platform/media/WavExtent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::platform::media {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xfffe;
// Chunks a WAV file may carry before its samples; more is not worth reading through.
constexpr int kMaxChunks = 64;

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool readAt(int fd, std::uint64_t offset, unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int openRegularFile(const std::string& path) {
    // O_NONBLOCK keeps open() from waiting for a FIFO's writer or a device; once the descriptor is
    // known to be a regular file, reads go back to blocking.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return -1;
    }
    return fd.release();
}

std::optional<WavData> wavData(int fd) {
    struct stat st {};
    unsigned char header[12];
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !readAt(fd, 0, header, sizeof header) ||
        std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) {
        return std::nullopt;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    WavData data;
    std::uint64_t position = 12;
    for (int chunk = 0; chunk < kMaxChunks && position + 8 <= size; ++chunk) {
        unsigned char head[8];
        if (!readAt(fd, position, head, sizeof head)) {
            break;
        }
        const std::uint64_t length = le32(head + 4);
        const std::uint64_t body = position + 8;
        if (std::memcmp(head, "fmt ", 4) == 0 && length >= 16) {
            unsigned char fmt[16];
            if (!readAt(fd, body, fmt, sizeof fmt)) {
                break;
            }
            std::uint16_t tag = le16(fmt);
            if (tag == kFormatExtensible && length >= 40) {
                unsigned char extension[26];
                if (!readAt(fd, body + 16, extension, sizeof extension)) {
                    break;
                }
                tag = le16(extension + 8);  // the sub-format GUID starts with the format tag
            }
            data.blockAlign = le16(fmt + 12);
            data.cdAudio = tag == kFormatPcm && le16(fmt + 2) == 2 && le32(fmt + 4) == 44100 &&
                           le16(fmt + 12) == 4 && le16(fmt + 14) == 16;
        } else if (std::memcmp(head, "data", 4) == 0) {
            data.announced = length;
            data.there = ByteRange{body, std::min(length, size - body)};
            return data;
        }
        position = body + length + (length & 1);  // chunks are padded to even lengths
    }
    return std::nullopt;
}

std::optional<ByteRange> cdAudioInWav(const std::string& path) {
    UniqueFd fd(openRegularFile(path));
    if (!fd) {
        return std::nullopt;
    }
    const auto data = wavData(fd.get());
    if (!data || !data->cdAudio) {
        return std::nullopt;
    }
    // A header may overstate the samples of a cut-off file: only what is there.
    return ByteRange{data->there.offset, data->there.length / 4 * 4};
}

}  // namespace kilnware::platform::media
