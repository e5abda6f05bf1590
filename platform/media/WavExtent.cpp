#include "platform/media/WavExtent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <kilnware/platform/foundation/Log.h>

#include "platform/foundation/InputFile.h"

namespace kilnware::platform::media {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xfffe;
// Chunks a WAV file may carry before its samples; more is not worth reading through.
constexpr int kMaxChunks = 64;
// An INFO list longer than this holds no tags worth reading.
constexpr std::uint64_t kMaxInfoBytes = 1 << 20;

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

// Calls `visit(id, body, length)` for each chunk of the WAV file open at `fd`, in order, until it
// returns false; false for anything that is no RIFF WAVE file.
template <class Visit>
bool forEachChunk(int fd, Visit visit) {
    struct stat st {};
    unsigned char header[12];
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !readAt(fd, 0, header, sizeof header) ||
        std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) {
        return false;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t position = 12;
    for (int chunk = 0; chunk < kMaxChunks && position + 8 <= size; ++chunk) {
        unsigned char head[8];
        if (!readAt(fd, position, head, sizeof head)) {
            break;
        }
        const std::uint64_t length = le32(head + 4);
        const std::uint64_t body = position + 8;
        if (!visit(std::string_view(reinterpret_cast<const char*>(head), 4), body,
                   std::min(length, size - body), length)) {
            break;
        }
        position = body + length + (length & 1);  // chunks are padded to even lengths
    }
    return true;
}

}  // namespace

std::optional<WavData> wavData(int fd) {
    std::optional<WavData> found;
    WavData data;
    forEachChunk(fd, [&](std::string_view id, std::uint64_t body, std::uint64_t there,
                         std::uint64_t length) {
        if (id == "fmt " && length >= 16) {
            unsigned char fmt[16];
            if (!readAt(fd, body, fmt, sizeof fmt)) {
                return false;
            }
            std::uint16_t tag = le16(fmt);
            if (tag == kFormatExtensible && length >= 40) {
                unsigned char extension[26];
                if (!readAt(fd, body + 16, extension, sizeof extension)) {
                    return false;
                }
                tag = le16(extension + 8);  // the sub-format GUID starts with the format tag
            }
            data.blockAlign = le16(fmt + 12);
            data.cdAudio = tag == kFormatPcm && le16(fmt + 2) == 2 && le32(fmt + 4) == 44100 &&
                           le16(fmt + 12) == 4 && le16(fmt + 14) == 16;
        } else if (id == "data") {
            data.announced = length;
            data.there = ByteRange{body, there};
            found = data;
            return false;
        }
        return true;
    });
    return found;
}

std::optional<WavData> cdAudioInWav(const std::string& path) {
    UniqueFd fd(openRegularFile(path));
    if (!fd) {
        return std::nullopt;
    }
    auto data = wavData(fd.get());
    const auto file = FileIdentity::of(fd.get());
    if (!data || !data->cdAudio || !file) {
        return std::nullopt;
    }
    data->file = *file;
    return data;
}

void warnIfCutShort(const std::string& path, const WavData& data) {
    if (data.announced > data.there.length) {
        Log::warning(
            "%@ is shorter than its header says: only the audio that is there goes on the disc.",
            {path});
    }
}

std::optional<WavTags> wavTags(int fd) {
    WavTags tags;
    bool id3 = false;
    const bool wav = forEachChunk(
        fd, [&](std::string_view id, std::uint64_t body, std::uint64_t there, std::uint64_t) {
            id3 = id == "ID3 " || id == "id3 ";
            unsigned char type[4];
            if (id3 || (id != "LIST" && id != "list") || there < 4 || there > kMaxInfoBytes ||
                !readAt(fd, body, type, sizeof type) || std::memcmp(type, "INFO", 4) != 0) {
                return !id3;
            }
            std::string list(there - 4, '\0');
            if (!readAt(fd, body + 4, reinterpret_cast<unsigned char*>(list.data()), list.size())) {
                return true;
            }
            for (std::size_t at = 0; at + 8 <= list.size();) {
                const auto* head = reinterpret_cast<const unsigned char*>(list.data() + at);
                const std::size_t length = le32(head + 4);
                if (length > list.size() - at - 8) {
                    break;
                }
                std::string text = list.substr(at + 8, length);
                text.resize(std::strlen(text.c_str()));
                const std::string_view key(list.data() + at, 4);
                if (key == "INAM") {
                    tags.title = std::move(text);
                } else if (key == "IART") {
                    tags.artist = std::move(text);
                } else if (key == "IPRD") {
                    tags.album = std::move(text);
                }
                at += 8 + length + (length & 1);
            }
            return true;
        });
    if (!wav || id3) {
        return std::nullopt;
    }
    return tags;
}

}  // namespace kilnware::platform::media
