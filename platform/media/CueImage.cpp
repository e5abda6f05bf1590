// BIN/CUE images: a CDRWIN cue sheet read back into tracks over byte ranges of its BINARY files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>

#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/CueSheet.h"

namespace kilnware::platform {

namespace {

constexpr std::size_t kRawSector = 2352;
constexpr std::size_t kMaxCueBytes = 1 << 20;

// A track's bytes: a range of a BIN file, as they lie there (audio, 2048-byte data), or the user
// data of raw 2352-byte data sectors (past the 16 bytes of sync and header).
class RangeReader : public DRTrackReader {
public:
    RangeReader(UniqueFd fd, std::uint64_t offset, std::uint64_t sectors, std::size_t sectorBytes,
                std::size_t skip, std::size_t take)
        : fd_(std::move(fd)),
          position_(offset),
          sectors_(sectors),
          sectorBytes_(sectorBytes),
          skip_(skip),
          take_(take) {}

    std::size_t read(std::span<std::byte> out) override {
        std::size_t done = 0;
        while (done < out.size() && error_.empty() && (sectors_ > 0 || pending_ < buffer_.size())) {
            if (pending_ == buffer_.size()) {
                buffer_.resize(sectorBytes_);
                if (!readSector()) {
                    break;
                }
                buffer_.erase(buffer_.begin(),
                              buffer_.begin() + static_cast<std::ptrdiff_t>(skip_));
                buffer_.resize(take_);
                pending_ = 0;
            }
            const std::size_t n = std::min(out.size() - done, buffer_.size() - pending_);
            std::memcpy(out.data() + done, buffer_.data() + pending_, n);
            pending_ += n;
            done += n;
        }
        return done;
    }
    const std::string& error() const override { return error_; }

private:
    bool readSector() {
        std::size_t got = 0;
        while (got < sectorBytes_) {
            const ssize_t n = ::pread(fd_.get(), buffer_.data() + got, sectorBytes_ - got,
                                      static_cast<off_t>(position_ + got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error_ = n < 0 ? std::strerror(errno) : "the BIN file ended early";
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        position_ += sectorBytes_;
        --sectors_;
        return true;
    }

    UniqueFd fd_;
    std::uint64_t position_;
    std::uint64_t sectors_;
    std::size_t sectorBytes_;
    std::size_t skip_;
    std::size_t take_;
    std::vector<std::byte> buffer_;
    std::size_t pending_ = 0;
    std::string error_;
};

class CueTrack : public DRTrack {
public:
    CueTrack(Kind kind, std::string bin, std::uint64_t offset, std::uint64_t sectors,
             std::size_t sectorBytes)
        : kind_(kind),
          bin_(std::move(bin)),
          offset_(offset),
          sectors_(sectors),
          sectorBytes_(sectorBytes) {}

    Kind kind() const override { return kind_; }
    std::uint64_t estimateLength() const override { return sectors_; }
    std::string description() const override { return bin_; }
    std::unique_ptr<DRTrackReader> newReader() const override {
        UniqueFd fd(::open(bin_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return nullptr;
        }
        const bool raw = kind_ == Kind::Data && sectorBytes_ == kRawSector;
        return std::make_unique<RangeReader>(std::move(fd), offset_, sectors_, sectorBytes_,
                                             raw ? 16 : 0, raw ? kDataBlockSize : sectorBytes_);
    }
    // Audio and 2048-byte data lie in the file as they are burned.
    std::optional<FileExtent> fileExtent() const override {
        if (kind_ == Kind::Data && sectorBytes_ == kRawSector) {
            return std::nullopt;
        }
        return FileExtent{bin_, offset_, sectors_ * sectorBytes_};
    }

private:
    Kind kind_;
    std::string bin_;
    std::uint64_t offset_;
    std::uint64_t sectors_;
    std::size_t sectorBytes_;
};

struct Parsed {
    struct Track {
        std::string bin;
        DRTrack::Kind kind = DRTrack::Kind::Audio;
        std::size_t sectorBytes = kRawSector;
        std::optional<std::uint64_t> start;  // INDEX 01, in sectors of its file
        std::uint64_t preGap = 0;            // frames of PREGAP
    };
    std::vector<Track> tracks;
    std::vector<std::array<std::optional<std::string>, 3>> texts{
        1};  // title, performer, songwriter
};

std::optional<std::uint64_t> framesOf(const std::string& msf) {
    unsigned m = 0, s = 0, f = 0;
    char tail = 0;
    if (std::sscanf(msf.c_str(), "%u:%u:%u%c", &m, &s, &f, &tail) != 3 || s > 59 || f > 74) {
        return std::nullopt;
    }
    return (std::uint64_t{m} * 60 + s) * 75 + f;
}

// The next word of a line, or a quoted text; none at the end of the line.
std::optional<std::string> word(std::istringstream& line) {
    line >> std::ws;
    if (line.peek() == '"') {
        line.get();
        std::string text;
        std::getline(line, text, '"');
        return text;
    }
    std::string text;
    if (!(line >> text)) {
        return std::nullopt;
    }
    return text;
}

std::string utf8FromLatin1(std::string_view latin1) {
    std::string out;
    for (char c : latin1) {
        appendUtf8(out, static_cast<unsigned char>(c));
    }
    return out;
}

// A word of the sheet as an error message may show it: control characters would reach the
// user's terminal.
std::string printable(std::string word) {
    for (char& c : word) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return word;
}

}  // namespace

std::optional<DRBurn::CueLayout> DRBurn::layoutForCueSheet(const std::string& path,
                                                           std::string& error) {
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        error = path + " cannot be read";
        return std::nullopt;
    }
    // A text has no NUL bytes: a binary file misnamed .cue is no sheet.
    if (text.size() > kMaxCueBytes || text.find('\0') != std::string::npos) {
        error = path + " is no cue sheet";
        return std::nullopt;
    }
    // Cue sheets carry their texts in ISO 8859-1, as the image recorder writes them, or in UTF-8;
    // a sheet that is not UTF-8 is read as ISO 8859-1.
    const bool latin1 = !isValidUtf8(text);
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    Parsed sheet;
    std::string bin;
    std::istringstream lines(text);
    int number = 0;
    for (std::string raw; std::getline(lines, raw);) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        std::istringstream line(raw);
        const auto command = word(line);
        auto fail = [&](const std::string& why) {
            error = path + ", line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        };
        if (!command || *command == "REM" || *command == "CATALOG" || *command == "ISRC" ||
            *command == "FLAGS" || *command == "CDTEXTFILE" || *command == "POSTGAP") {
            continue;
        }
        if (*command == "FILE") {
            const auto name = word(line);
            const auto type = word(line);
            if (!name || type != std::optional<std::string>("BINARY")) {
                return fail("only BINARY files are taken");
            }
            // A name stays inside the cue sheet's folder: no path leads elsewhere.
            if (name->find('/') != std::string::npos || *name == ".." || *name == ".") {
                return fail("the BIN file must lie beside the cue sheet");
            }
            bin = (folder / *name).string();
        } else if (*command == "TRACK") {
            const auto index = word(line);
            const auto mode = word(line);
            if (bin.empty() || !index || !mode) {
                return fail("a TRACK needs a FILE before it, a number and a mode");
            }
            Parsed::Track track;
            track.bin = bin;
            if (*mode == "AUDIO") {
                track.kind = DRTrack::Kind::Audio;
            } else if (*mode == "MODE1/2048") {
                track.kind = DRTrack::Kind::Data;
                track.sectorBytes = DRTrack::kDataBlockSize;
            } else if (*mode == "MODE1/2352") {
                track.kind = DRTrack::Kind::Data;
            } else {
                return fail("tracks of mode " + printable(*mode) + " are not taken");
            }
            sheet.tracks.push_back(track);
            sheet.texts.emplace_back();
        } else if (*command == "INDEX") {
            const auto index = word(line);
            const auto at = word(line);
            const auto frames = at ? framesOf(*at) : std::nullopt;
            if (sheet.tracks.empty() || !frames) {
                return fail("an INDEX needs a TRACK before it and a time mm:ss:ff");
            }
            if (index == std::optional<std::string>("01")) {
                sheet.tracks.back().start = *frames;
            }
        } else if (*command == "PREGAP") {
            const auto at = word(line);
            const auto frames = at ? framesOf(*at) : std::nullopt;
            if (sheet.tracks.empty() || !frames) {
                return fail("a PREGAP needs a TRACK before it and a time mm:ss:ff");
            }
            sheet.tracks.back().preGap = *frames;
        } else if (*command == "TITLE" || *command == "PERFORMER" || *command == "SONGWRITER") {
            const std::size_t field = *command == "TITLE" ? 0 : *command == "PERFORMER" ? 1 : 2;
            const std::string value = word(line).value_or("");
            sheet.texts.back()[field] = latin1 ? utf8FromLatin1(value) : value;
        } else {
            return fail("\"" + printable(*command) + "\" is not taken");
        }
    }
    if (sheet.tracks.empty()) {
        error = path + " holds no track";
        return std::nullopt;
    }
    CueLayout result;
    List tracks;
    for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
        const Parsed::Track& t = sheet.tracks[i];
        struct stat info {};
        if (!t.start || ::stat(t.bin.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            error = "track " + std::to_string(i + 1) + " of " + path +
                    (t.start ? " has no BIN file at " + t.bin : " has no INDEX 01");
            return std::nullopt;
        }
        // A track runs to the next one's start in the same file, or to the end of its file.
        const std::uint64_t fileSectors = static_cast<std::uint64_t>(info.st_size) / t.sectorBytes;
        std::uint64_t end = fileSectors;
        if (i + 1 < sheet.tracks.size() && sheet.tracks[i + 1].bin == t.bin &&
            sheet.tracks[i + 1].start) {
            end = *sheet.tracks[i + 1].start;
        }
        if (*t.start >= end || end > fileSectors) {
            error = "track " + std::to_string(i + 1) + " of " + path + " lies outside " + t.bin;
            return std::nullopt;
        }
        auto track = std::make_shared<CueTrack>(t.kind, t.bin, *t.start * t.sectorBytes,
                                                end - *t.start, t.sectorBytes);
        // A PREGAP of track 1 adds to the pause that every disc has before it.
        const std::uint64_t preGap =
            i == 0 && t.preGap > 0 ? t.preGap + media::kFirstPreGap : t.preGap;
        if (preGap > 0) {
            Dictionary properties;
            properties.set(DRPreGapLengthKey, preGap);
            track->setProperties(std::move(properties));
        }
        tracks.emplace_back(Value(std::static_pointer_cast<DRTrack>(track)));
    }
    result.layout = Value(std::move(tracks));
    const char* keys[] = {DRCDTextTitleKey, DRCDTextPerformerKey, DRCDTextSongwriterKey};
    for (std::size_t entry = 0; entry < sheet.texts.size(); ++entry) {
        for (std::size_t field = 0; field < 3; ++field) {
            if (const auto& value = sheet.texts[entry][field]) {
                if (!result.cdText) {
                    result.cdText = DRCDTextBlock::cdTextBlockWithLanguage("", 5);
                }
                result.cdText->setObject(Value(*value), keys[field],
                                         static_cast<std::uint32_t>(entry));
            }
        }
    }
    return result;
}

}  // namespace kilnware::platform
