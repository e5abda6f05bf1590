// Cue sheets as the image recorder and rippers write them: a CDRWIN cue sheet read back into
// tracks over the FILEs it names, BINARY files as they lie and audio files (WAVE, AIFF, FLAC, MP3)
// decoded. Every byte of every FILE is burned: what comes before a track's INDEX 01 is its gap.

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRKeys.h>

#include "platform/foundation/Utf8.h"
#include "platform/media/CdLayout.h"
#include "platform/media/CueSheet.h"
#include "platform/media/SegmentTrack.h"
#include "platform/media/WavExtent.h"

namespace kilnware::platform {

namespace {

using media::Segment;
using media::StreamSource;

constexpr std::size_t kRawSector = 2352;
constexpr std::size_t kMaxCueBytes = 1 << 20;

// A place a sheet names: a sector of one of its FILEs.
struct Mark {
    std::size_t file = 0;
    std::uint64_t sector = 0;
};

struct SheetFile {
    std::string path;
    std::string type;  // BINARY, WAVE, AIFF, FLAC or MP3
};

struct SheetTrack {
    DRTrack::Kind kind = DRTrack::Kind::Audio;
    std::size_t sectorBytes = kRawSector;  // in its files
    std::optional<Mark> index0;
    std::optional<Mark> index1;
    std::uint64_t preGap = 0;  // frames of PREGAP: silence the recorder writes
    std::uint64_t postGap = 0;
    Dictionary properties;  // ISRC and flags
};

struct Sheet {
    std::vector<SheetFile> files;
    std::vector<SheetTrack> tracks;
    std::vector<std::array<std::optional<std::string>, 3>> texts{
        1};  // title, performer, songwriter
    std::optional<std::string> catalog;
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

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
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

// The path of a FILE the sheet names: beside the sheet, no path leading elsewhere.
std::optional<std::string> fileBesideSheet(const std::filesystem::path& folder,
                                           const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == ".." || name == ".") {
        return std::nullopt;
    }
    return (folder / name).string();
}

// Reads the lines of a sheet; none, with `error` naming the line, for one it cannot take.
std::optional<Sheet> parseSheet(std::string text, const std::string& path, std::string& error) {
    if (text.starts_with("\xef\xbb\xbf")) {
        text.erase(0, 3);  // the byte-order mark some rippers write
    }
    // Cue sheets carry their texts in UTF-8, or in ISO 8859-1 as older programs write them; a
    // sheet that is not UTF-8 is read as ISO 8859-1.
    const bool latin1 = !isValidUtf8(text);
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    Sheet sheet;
    std::istringstream lines(text);
    int number = 0;
    for (std::string raw; std::getline(lines, raw);) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        std::istringstream line(raw);
        const std::string command = upper(word(line).value_or(""));
        auto fail = [&](const std::string& why) {
            error = path + ", line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        };
        SheetTrack* track = sheet.tracks.empty() ? nullptr : &sheet.tracks.back();
        auto time = [&]() { return framesOf(word(line).value_or("")); };
        if (command.empty() || command == "REM" || command == "CDTEXTFILE") {
            continue;
        }
        if (command == "CATALOG") {
            sheet.catalog = word(line);
            if (!sheet.catalog || !media::isCatalogNumber(*sheet.catalog)) {
                return fail("a CATALOG number has 13 digits");
            }
        } else if (command == "FILE") {
            const auto name = word(line);
            const std::string type = upper(word(line).value_or(""));
            if (type == "MOTOROLA") {
                return fail("big-endian (MOTOROLA) files are not taken: convert them to BINARY");
            }
            if (type != "BINARY" && type != "WAVE" && type != "AIFF" && type != "FLAC" &&
                type != "MP3") {
                return fail("FILE needs a name and a type: BINARY, WAVE, AIFF, FLAC or MP3");
            }
            const auto file = fileBesideSheet(folder, name.value_or(""));
            if (!file) {
                return fail("the BIN file must lie beside the cue sheet");
            }
            sheet.files.push_back({*file, type});
        } else if (command == "TRACK") {
            const auto index = word(line);
            const std::string mode = upper(word(line).value_or(""));
            if (sheet.files.empty() || !index || mode.empty()) {
                return fail("a TRACK needs a FILE before it, a number and a mode");
            }
            SheetTrack added;
            if (mode == "MODE1/2048" || mode == "MODE1/2352") {
                added.kind = DRTrack::Kind::Data;
                added.sectorBytes = mode == "MODE1/2048" ? DRTrack::kDataBlockSize : kRawSector;
            } else if (mode != "AUDIO") {
                return fail("tracks of mode " + printable(mode) + " are not taken");
            }
            sheet.tracks.push_back(std::move(added));
            sheet.texts.emplace_back();
        } else if (command == "INDEX") {
            const auto index = word(line);
            const auto frames = time();
            if (!track || !frames || !index ||
                index->find_first_not_of("0123456789") != std::string::npos) {
                return fail("an INDEX needs a TRACK before it, a number and a time mm:ss:ff");
            }
            // Index points past 1 mark places inside the music: the music itself is burned.
            const int point = std::stoi(index->substr(0, 3));
            if (point <= 1) {
                (point == 0 ? track->index0 : track->index1) =
                    Mark{sheet.files.size() - 1, *frames};
            }
        } else if (command == "PREGAP" || command == "POSTGAP") {
            const auto frames = time();
            if (!track || !frames) {
                return fail("a " + command + " needs a TRACK before it and a time mm:ss:ff");
            }
            (command == "PREGAP" ? track->preGap : track->postGap) = *frames;
        } else if (command == "FLAGS") {
            if (!track) {
                return fail("FLAGS need a TRACK before them");
            }
            for (auto flag = word(line); flag; flag = word(line)) {
                const std::string name = upper(*flag);
                const char* key = name == "DCP"   ? DRTrackCopyPermittedKey
                                  : name == "PRE" ? DRAudioPreEmphasisKey
                                  : name == "4CH" ? DRAudioFourChannelKey
                                                  : nullptr;
                if (key) {
                    track->properties.set(key, true);
                } else if (name != "DATA" || track->kind != DRTrack::Kind::Data) {
                    return fail("the flag " + printable(name) +
                                " cannot be carried: a CD takes DCP, 4CH and PRE");
                }
            }
        } else if (command == "ISRC") {
            const auto isrc = media::isrcOf(word(line).value_or(""));
            if (!track || !isrc) {
                return fail("an ISRC follows its TRACK and has 12 characters: CCOOOYYSSSSS");
            }
            track->properties.set(DRTrackISRCKey, *isrc);
        } else if (command == "TITLE" || command == "PERFORMER" || command == "SONGWRITER") {
            const std::size_t field = command == "TITLE" ? 0 : command == "PERFORMER" ? 1 : 2;
            const std::string value = word(line).value_or("");
            sheet.texts.back()[field] = latin1 ? utf8FromLatin1(value) : value;
        } else {
            return fail("\"" + printable(command) + "\" is not taken");
        }
    }
    if (sheet.tracks.empty()) {
        error = path + " holds no track";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
        if (!sheet.tracks[i].index1) {
            error = "track " + std::to_string(i + 1) + " of " + path + " has no INDEX 01";
            return std::nullopt;
        }
    }
    return sheet;
}

// Each FILE as a stream: a BINARY file, or a WAV of CD audio's samples, as they lie; any other
// audio file decoded. None, with `error`, for a file that is missing or does not decode.
std::optional<std::vector<StreamSource>> openFiles(const Sheet& sheet, std::string& error) {
    std::vector<StreamSource> sources;
    for (const SheetFile& file : sheet.files) {
        StreamSource source{file.path};
        const auto wav = file.type == "WAVE" ? media::cdAudioInWav(file.path) : std::nullopt;
        struct stat info {};
        if (file.type == "BINARY") {
            if (::stat(file.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
                error = "there is no BIN file at " + file.path;
                return std::nullopt;
            }
            source.length = static_cast<std::uint64_t>(info.st_size);
        } else if (wav) {
            media::warnIfCutShort(file.path, *wav);
            source.offset = wav->there.offset;
            source.length = wav->there.length / 4 * 4;
        } else {
            std::string why;
            const auto decoder = media::AudioDecoder::open(file.path, &why);
            if (!decoder) {
                error =
                    file.path + " is no audio that can be read" + (why.empty() ? "" : ": " + why);
                return std::nullopt;
            }
            source.decoded = true;
            source.length = decoder->frameCount() * media::AudioDecoder::kBytesPerFrame;
        }
        sources.push_back(std::move(source));
    }
    return sources;
}

// Where a walk through the FILEs stands: a sector of a file, and its byte in the file's stream.
struct Cursor {
    std::size_t file = 0;
    std::uint64_t sector = 0;
    std::uint64_t byte = 0;
};

// Lays the tracks over the FILEs: each track runs from its first index (INDEX 00, or INDEX 01;
// for track 1 the start of the first FILE) to the next track's, across the ends of files, and
// the last to the end of the last FILE. A FILE of audio that ends inside a sector is filled up
// with silence.
class Layout {
public:
    Layout(const Sheet& sheet, const std::vector<StreamSource>& sources, const std::string& path)
        : sheet_(sheet), sources_(sources), path_(path) {}

    // Each track's segments and the sectors before its INDEX 01; false, with `error`.
    bool lay(std::vector<std::vector<Segment>>& segments, std::vector<std::uint64_t>& gaps,
             std::string& error) {
        Cursor at;
        for (std::size_t i = 0; i < sheet_.tracks.size(); ++i) {
            const SheetTrack& track = sheet_.tracks[i];
            std::vector<Segment>& runs = segments.emplace_back();
            std::uint64_t sectors = 0;
            const Mark end = i + 1 < sheet_.tracks.size() ? start(sheet_.tracks[i + 1])
                                                          : Mark{sources_.size(), 0};
            if (!advance(at, *track.index1, i, runs, sectors, error)) {
                return false;
            }
            gaps.push_back(sectors);
            if (!advance(at, end, i, runs, sectors, error)) {
                return false;
            }
        }
        return true;
    }

private:
    static Mark start(const SheetTrack& track) {
        return track.index0 ? *track.index0 : *track.index1;
    }

    std::string trackName(std::size_t track) const {
        return "track " + std::to_string(track + 1) + " of " + path_;
    }

    // Moves `at` to `to`, giving what it passes to track `track`, and counting its sectors.
    bool advance(Cursor& at, Mark to, std::size_t track, std::vector<Segment>& runs,
                 std::uint64_t& sectors, std::string& error) {
        const SheetTrack& owner = sheet_.tracks[track];
        const std::uint64_t size = owner.sectorBytes;
        while (at.file < to.file) {
            const StreamSource& source = sources_[at.file];
            const std::uint64_t rest = source.length - at.byte;
            if (!take(at.file, at.byte, rest, track, runs, error)) {
                return false;
            }
            if (rest % size != 0) {
                if (owner.kind != DRTrack::Kind::Audio) {
                    error = trackName(track) + " ends inside a sector: " + source.path +
                            " is no whole number of " + std::to_string(size) + "-byte sectors";
                    return false;
                }
                runs.push_back({std::nullopt, 0, size - rest % size});
            }
            sectors += (rest + size - 1) / size;
            at = Cursor{at.file + 1, 0, 0};
        }
        if (to.file == sources_.size()) {
            return true;  // the end of the last file
        }
        if (to.sector < at.sector) {
            error = trackName(track) + " has an index before the one ahead of it";
            return false;
        }
        const StreamSource& source = sources_[at.file];
        const std::uint64_t bytes = (to.sector - at.sector) * size;
        if (at.byte + bytes > source.length) {
            error = trackName(track) + " names the time " + media::msf(to.sector) + " of " +
                    source.path + ", which lasts " + media::msf(source.length / size) +
                    ": it starts past the end of the file";
            return false;
        }
        if (!take(at.file, at.byte, bytes, track, runs, error)) {
            return false;
        }
        sectors += to.sector - at.sector;
        at.sector = to.sector;
        at.byte += bytes;
        return true;
    }

    bool take(std::size_t file, std::uint64_t from, std::uint64_t length, std::size_t track,
              std::vector<Segment>& runs, std::string& error) const {
        if (length == 0) {
            return true;
        }
        if (sheet_.files[file].type != "BINARY" &&
            sheet_.tracks[track].kind != DRTrack::Kind::Audio) {
            error = trackName(track) +
                    " is a data track in an audio file: data lies in BINARY "
                    "files";
            return false;
        }
        // A run that goes on where the last one ended is the same run.
        if (!runs.empty() && runs.back().source == file &&
            runs.back().from + runs.back().length == from) {
            runs.back().length += length;
        } else {
            runs.push_back({file, from, length});
        }
        return true;
    }

    const Sheet& sheet_;
    const std::vector<StreamSource>& sources_;
    const std::string& path_;
};

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
    const auto sheet = parseSheet(std::move(text), path, error);
    if (!sheet) {
        return std::nullopt;
    }
    auto sources = openFiles(*sheet, error);
    if (!sources) {
        return std::nullopt;
    }
    std::vector<std::vector<Segment>> segments;
    std::vector<std::uint64_t> gaps;
    if (!Layout(*sheet, *sources, path).lay(segments, gaps, error)) {
        return std::nullopt;
    }
    auto shared = std::make_shared<media::StreamSources>(std::move(*sources));
    CueLayout result;
    result.mediaCatalogNumber = sheet->catalog;
    List tracks;
    for (std::size_t i = 0; i < sheet->tracks.size(); ++i) {
        const SheetTrack& t = sheet->tracks[i];
        const std::string which = "track " + std::to_string(i + 1) + " of " + path;
        if (gaps[i] > 0 && t.kind != DRTrack::Kind::Audio) {
            error = which +
                    " is a data track with sectors before its INDEX 01: only audio "
                    "tracks hold their gap";
            return std::nullopt;
        }
        if (t.postGap > 0) {
            segments[i].push_back({std::nullopt, 0, t.postGap * t.sectorBytes});
        }
        auto track =
            media::segmentTrack(t.kind, shared, std::move(segments[i]),
                                t.kind == DRTrack::Kind::Data && t.sectorBytes == kRawSector);
        if (track->estimateLength() == 0) {
            error = which + " holds nothing";
            return std::nullopt;
        }
        Dictionary properties = t.properties;
        // A PREGAP of track 1 adds to the pause that every disc has before it.
        const std::uint64_t preGap =
            i == 0 && t.preGap > 0 ? t.preGap + media::kFirstPreGap : t.preGap;
        if (preGap > 0) {
            properties.set(DRPreGapLengthKey, preGap);
        }
        if (gaps[i] > 0) {
            properties.set(DRPreGapFromStreamLengthKey, gaps[i]);
        }
        track->setProperties(std::move(properties));
        tracks.emplace_back(Value(std::move(track)));
    }
    result.layout = Value(std::move(tracks));
    const char* keys[] = {DRCDTextTitleKey, DRCDTextPerformerKey, DRCDTextSongwriterKey};
    for (std::size_t entry = 0; entry < sheet->texts.size(); ++entry) {
        for (std::size_t field = 0; field < 3; ++field) {
            if (const auto& value = sheet->texts[entry][field]) {
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
