#include "VideoFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::standins {

using platform::UniqueFd;

const char* standardName(VideoStandard standard) {
    return standard == VideoStandard::PAL ? "PAL" : "NTSC";
}

std::optional<SequenceHeader> findSequenceHeader(const unsigned char* data, std::size_t size) {
    // Start code and the seven bytes up to the marker bit after the bit rate.
    constexpr std::size_t kNeeded = 4 + 7;
    for (std::size_t i = 0; i + kNeeded <= size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1 || data[i + 3] != 0xB3) {
            continue;
        }
        const unsigned char* h = data + i + 4;
        SequenceHeader header;
        header.width = (h[0] << 4) | (h[1] >> 4);
        header.height = ((h[1] & 0x0F) << 8) | h[2];
        header.aspectCode = h[3] >> 4;
        header.frameRateCode = h[3] & 0x0F;
        bool marker = (h[6] & 0x20) != 0;
        if (header.width != 0 && header.height != 0 && header.frameRateCode != 0 && marker) {
            return header;
        }
    }
    return std::nullopt;
}

std::optional<VideoStandard> standardOf(const SequenceHeader& header) {
    const int w = header.width;
    const int h = header.height;
    constexpr int kFilm = 1;  // 23.976
    constexpr int kPal = 3;   // 25
    constexpr int kNtsc = 4;  // 29.97
    bool palSize = ((w == 720 || w == 704 || w == 352) && h == 576) || (w == 352 && h == 288);
    bool ntscSize = ((w == 720 || w == 704 || w == 352) && h == 480) || (w == 352 && h == 240);
    if (palSize && header.frameRateCode == kPal) {
        return VideoStandard::PAL;
    }
    if (ntscSize && (header.frameRateCode == kNtsc || header.frameRateCode == kFilm)) {
        return VideoStandard::NTSC;
    }
    return std::nullopt;
}

namespace {

const char* frameRateText(int code) {
    static const char* const rates[] = {"forbidden", "23.976", "24",    "25", "29.97",
                                        "30",        "50",     "59.94", "60"};
    return code >= 0 && code <= 8 ? rates[code] : "reserved";
}

}  // namespace

Probe probeVideoFile(const std::string& path) {
    Probe probe;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        probe.problem = std::strerror(errno);
        return probe;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        probe.problem = "not a regular file";
        return probe;
    }
    std::vector<unsigned char> data(kProbeBytes);
    std::size_t filled = 0;
    while (filled < data.size()) {
        ssize_t got = ::read(fd.get(), data.data() + filled, data.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            probe.problem = std::strerror(errno);
            return probe;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    fd.reset();
    probe.read = true;
    probe.header = findSequenceHeader(data.data(), filled);
    if (!probe.header) {
        probe.problem = "no MPEG video sequence header in its first " +
                        std::to_string(kProbeBytes / (1024 * 1024)) + " MB";
        return probe;
    }
    probe.standard = standardOf(*probe.header);
    if (!probe.standard) {
        probe.problem = "video of " + std::to_string(probe.header->width) + "x" +
                        std::to_string(probe.header->height) + " at " +
                        frameRateText(probe.header->frameRateCode) +
                        " frames a second is neither PAL nor NTSC DVD video";
    }
    return probe;
}

}  // namespace kilnware::standins
