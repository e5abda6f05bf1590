#include "platform/media/CueSheet.h"

#include "platform/foundation/Utf8.h"
#include "platform/media/Libburn.h"

#include <iconv.h>
#include <libburn.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include <kilnware/platform/discrecording/DRCDTextBlock.h>
#include <kilnware/platform/discrecording/DRMSF.h>
#include <kilnware/platform/foundation/Log.h>

namespace kilnware::platform::media {

using namespace burn;

namespace {

struct FieldInfo {
    const char* key;      // in a DRCDTextBlock
    const char* cueWord;  // in a cue sheet; null where CDRWIN has none
    int packType;
};

constexpr std::array<FieldInfo, kCDTextFieldCount> kFields = {{
    {DRCDTextTitleKey, "TITLE", 0x80},
    {DRCDTextPerformerKey, "PERFORMER", 0x81},
    {DRCDTextSongwriterKey, "SONGWRITER", 0x82},
    {DRCDTextComposerKey, nullptr, 0x83},
    {DRCDTextArrangerKey, nullptr, 0x84},
    {DRCDTextSpecialMessageKey, nullptr, 0x85},
}};

// CD-Text names languages by the EBU codes, the block by ISO 639.
int languageCode(const std::string& language) {
    if (language.empty()) {
        return 0x09;  // English, as players assume when nothing is said
    }
    std::string code = language.substr(0, language.find_first_of("-_"));
    std::transform(code.begin(), code.end(), code.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static constexpr std::pair<const char*, int> kCodes[] = {
        {"sq", 0x01}, {"br", 0x02}, {"ca", 0x03}, {"hr", 0x04}, {"cy", 0x05}, {"cs", 0x06},
        {"da", 0x07}, {"de", 0x08}, {"en", 0x09}, {"es", 0x0a}, {"eo", 0x0b}, {"et", 0x0c},
        {"eu", 0x0d}, {"fo", 0x0e}, {"fr", 0x0f}, {"fy", 0x10}, {"ga", 0x11}, {"gd", 0x12},
        {"gl", 0x13}, {"is", 0x14}, {"it", 0x15}, {"la", 0x17}, {"lv", 0x18}, {"lb", 0x19},
        {"lt", 0x1a}, {"hu", 0x1b}, {"mt", 0x1c}, {"nl", 0x1d}, {"no", 0x1e}, {"nb", 0x1e},
        {"nn", 0x1e}, {"oc", 0x1f}, {"pl", 0x20}, {"pt", 0x21}, {"ro", 0x22}, {"rm", 0x23},
        {"sr", 0x24}, {"sk", 0x25}, {"sl", 0x26}, {"fi", 0x27}, {"sv", 0x28}, {"tr", 0x29},
        {"ru", 0x56}, {"ko", 0x65}, {"ja", 0x69}, {"el", 0x70}, {"zh", 0x75}};
    for (const auto& [name, value] : kCodes) {
        if (code == name) {
            return value;
        }
    }
    return 0x00;  // unknown
}

struct SessionFree {
    void operator()(burn_session* session) const { burn_session_free(session); }
};

constexpr int kLatin1 = 0x00;
constexpr int kMsJis = 0x80;  // Shift-JIS as Microsoft has it (CP932), double-byte
constexpr int kJapanese = 0x69;

std::string cueText(const std::string& utf8) {
    std::string text = printableUtf8(utf8);
    std::replace(text.begin(), text.end(), '"', '\'');
    return text;
}

// A file name inside a quoted cue word: kept as its bytes, but no control character may end the
// line and no '"' the quotes.
std::string cueFileName(std::string name) {
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = ' ';
        } else if (c == '"') {
            c = '\'';
        }
    }
    return name;
}

// Printable UTF-8 of ISO 8859-1's characters to ISO 8859-1; '?' for any other.
std::string latin1FromUtf8(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t code = nextCodePoint(utf8, i).value_or(U'?');
        out += code <= 0xff ? static_cast<char>(code) : '?';
    }
    return out;
}

bool isLatin1(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
        if (nextCodePoint(utf8, i).value_or(0xfffd) > 0xff) {
            return false;
        }
    }
    return true;
}

// `utf8` in the character set `code` of iconv; none where a character has no place there.
// Transliterating sets (".../TRANSLIT") take their forms from the C.UTF-8 locale's tables, the
// same whatever locale the host runs in.
std::optional<std::string> convert(std::string_view utf8, const char* code) {
    const iconv_t converter = ::iconv_open(code, "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    const locale_t cUtf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    const locale_t before = cUtf8 ? ::uselocale(cUtf8) : nullptr;
    std::string in(utf8);
    std::string out(in.size() * 4 + 8, '\0');
    char* from = in.data();
    std::size_t left = in.size();
    char* to = out.data();
    std::size_t room = out.size();
    // Every character takes at most four bytes, and a transliteration a few: one call does it.
    const bool converted =
        ::iconv(converter, &from, &left, &to, &room) != static_cast<size_t>(-1) &&
        ::iconv(converter, nullptr, nullptr, &to, &room) != static_cast<size_t>(-1);
    if (cUtf8) {
        ::uselocale(before);
        ::freelocale(cUtf8);
    }
    ::iconv_close(converter);
    if (!converted) {
        return std::nullopt;
    }
    out.resize(out.size() - room);
    return out;
}

// One block's texts in the one character code that holds them all: ISO 8859-1, or else MS-JIS
// (Japanese, and the Greek and Cyrillic letters JIS has). Where neither holds every text, ISO
// 8859-1 with the closest form of each text it cannot hold, and a warning naming the text.
struct EncodedBlock {
    int charCode = kLatin1;
    std::vector<std::array<std::optional<std::string>, kCDTextFieldCount>> entries;
};

EncodedBlock encodeBlock(const CDText& text) {
    // Each text in the block's code, or none where it has no place there.
    auto encodeAll = [&](const std::function<std::optional<std::string>(const std::string&)>& in) {
        EncodedBlock block;
        block.entries.resize(text.entries.size());
        bool held = true;
        for (std::size_t e = 0; e < text.entries.size(); ++e) {
            for (std::size_t f = 0; f < kCDTextFieldCount; ++f) {
                if (const auto& value = text.entries[e][f]) {
                    block.entries[e][f] = in(printableUtf8(*value));
                    held = held && block.entries[e][f];
                }
            }
        }
        return std::pair(std::move(block), held);
    };
    auto latin1 = [](const std::string& printable) {
        return isLatin1(printable) ? std::optional(latin1FromUtf8(printable)) : std::nullopt;
    };
    if (auto [block, held] = encodeAll(latin1); held) {
        return block;
    }
    if (auto [block, held] =
            encodeAll([](const std::string& printable) { return convert(printable, "CP932"); });
        held) {
        block.charCode = kMsJis;
        return block;
    }
    return encodeAll([&](const std::string& printable) {
               if (auto bytes = latin1(printable)) {
                   return bytes;
               }
               const std::string closest =
                   convert(printable, "ISO-8859-1//TRANSLIT").value_or(latin1FromUtf8(printable));
               std::string shown;
               for (const char c : closest) {
                   appendUtf8(shown, static_cast<unsigned char>(c));
               }
               Log::warning("CD-Text can hold \"" + printable +
                            "\" neither in ISO 8859-1 nor in MS-JIS (Japanese) beside the other "
                            "texts: it is written as \"" +
                            shown + "\".");
               return std::optional(closest);
           })
        .first;
}

}  // namespace

bool CDText::empty() const {
    return std::all_of(entries.begin(), entries.end(), [](const auto& entry) {
        return std::all_of(entry.begin(), entry.end(), [](const auto& v) { return !v; });
    });
}

const std::optional<std::string>& CDText::get(std::size_t entry, CDTextField field) const {
    static const std::optional<std::string> kNone;
    return entry < entries.size() ? entries[entry][static_cast<std::size_t>(field)] : kNone;
}

CDText cdTextFromBlock(const DRCDTextBlock& block, std::size_t trackCount) {
    CDText text;
    text.language = block.language();
    text.entries.resize(trackCount + 1);
    for (const auto& [track, values] : block.tracks()) {
        if (track > trackCount) {
            continue;  // texts for tracks the disc does not have
        }
        for (std::size_t f = 0; f < kFields.size(); ++f) {
            if (const std::string* value = values[kFields[f].key].text()) {
                text.entries[track][f] = *value;
            }
        }
    }
    return text;
}

std::string printableUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t code = nextCodePoint(utf8, i).value_or(0xfffd);  // a malformed byte
        // A line break in a title must not start a cue line of its own, nor any control
        // character reach a CD-Text pack: blanks instead.
        appendUtf8(out, code < 0x20 || (code >= 0x7f && code < 0xa0) ? U' ' : code);
    }
    return out;
}

std::string msf(std::uint64_t frames) {
    return DRMSF(static_cast<std::uint32_t>(frames)).descriptionWithFormat("%02m:%02s:%02f");
}

std::string cueSheet(const std::string& binName, const CdLayout& layout, const CDText& text,
                     const std::optional<std::string>& cdTextFileName) {
    std::string cue;
    auto textLines = [&](std::size_t entry, const char* indent) {
        for (std::size_t f = 0; f < kFields.size(); ++f) {
            const auto& value = text.get(entry, static_cast<CDTextField>(f));
            if (kFields[f].cueWord && value) {
                cue += indent;
                cue += kFields[f].cueWord;
                cue += " \"" + cueText(*value) + "\"\n";
            }
        }
    };
    if (layout.catalog) {
        cue += "CATALOG " + *layout.catalog + "\n";
    }
    if (cdTextFileName) {
        cue += "CDTEXTFILE \"" + cueFileName(*cdTextFileName) + "\"\n";
    }
    textLines(0, "");
    cue += "FILE \"" + cueFileName(binName) + "\" BINARY\n";
    std::uint64_t position = 0;
    for (std::size_t i = 0; i < layout.tracks.size(); ++i) {
        const CdTrack& track = layout.tracks[i];
        char number[24];
        std::snprintf(number, sizeof number, "%02zu", i + 1);
        cue += std::string("  TRACK ") + number + (track.audio ? " AUDIO\n" : " MODE1/2352\n");
        textLines(i + 1, "    ");
        std::string flags;
        for (const auto& [set, word] :
             {std::pair{track.copyPermitted, " DCP"}, std::pair{track.fourChannels, " 4CH"},
              std::pair{track.preEmphasis, " PRE"}}) {
            flags += set ? word : "";
        }
        if (!flags.empty()) {
            cue += "    FLAGS" + flags + "\n";
        }
        if (track.isrc) {
            cue += "    ISRC " + *track.isrc + "\n";
        }
        // The disc's own pause before track 1 is no part of a cue sheet: only what goes past it.
        const std::uint64_t gap =
            i == 0 ? track.silence - std::min(track.silence, kFirstPreGap) : track.silence;
        if (gap > 0) {
            cue += "    PREGAP " + msf(gap) + "\n";
        }
        if (track.gapInStream > 0) {
            cue += "    INDEX 00 " + msf(position) + "\n";
        }
        cue += "    INDEX 01 " + msf(position + track.gapInStream) + "\n";
        position += track.blocks;
    }
    return cue;
}

std::optional<std::vector<std::uint8_t>> cdTextFile(const CDText& text, std::size_t trackCount,
                                                    std::string& error) {
    std::lock_guard lock(libburnMutex());
    if (!startLibburn()) {
        error = "The CD-Text could not be made: libburn did not start.";
        return std::nullopt;
    }
    std::unique_ptr<burn_session, SessionFree> session(burn_session_create());
    if (!session) {
        error = "The CD-Text could not be made: out of memory.";
        return std::nullopt;
    }
    std::vector<burn_track*> tracks;
    for (std::size_t i = 0; i < trackCount; ++i) {
        burn_track* track = burn_track_create();
        burn_session_add_track(session.get(), track, BURN_POS_END);
        burn_track_free(track);  // the session holds it now
        tracks.push_back(track);
    }
    const EncodedBlock block = encodeBlock(text);
    const bool doubleByte = block.charCode == kMsJis;
    // A block that names no language and needs MS-JIS is Japanese.
    const int language =
        text.language.empty() && doubleByte ? kJapanese : languageCode(text.language);
    int charCodes[8] = {block.charCode, -1, -1, -1, -1, -1, -1, -1};
    int copyrights[8] = {0x00, -1, -1, -1, -1, -1, -1, -1};
    int languages[8] = {language, -1, -1, -1, -1, -1, -1, -1};
    burn_session_set_cdtext_par(session.get(), charCodes, copyrights, languages, 0);

    for (std::size_t f = 0; f < kFields.size(); ++f) {
        bool used = false;
        for (std::size_t entry = 0; entry <= trackCount; ++entry) {
            used = used || (entry < block.entries.size() && block.entries[entry][f]);
        }
        if (!used) {
            continue;
        }
        // Once a field is on the disc, every track carries it, empty where it has none. A text
        // of double-byte characters ends in two NULs.
        for (std::size_t entry = 0; entry <= trackCount; ++entry) {
            std::string payload = entry < block.entries.size() && block.entries[entry][f]
                                      ? *block.entries[entry][f]
                                      : std::string();
            payload.append(doubleByte ? 2 : 1, '\0');
            auto* bytes = reinterpret_cast<unsigned char*>(payload.data());
            const int length = static_cast<int>(payload.size());
            const int ok = entry == 0
                               ? burn_session_set_cdtext(session.get(), 0, kFields[f].packType,
                                                         nullptr, bytes, length, doubleByte ? 1 : 0)
                               : burn_track_set_cdtext(tracks[entry - 1], 0, kFields[f].packType,
                                                       nullptr, bytes, length, doubleByte ? 1 : 0);
            if (ok <= 0) {
                error = "The CD-Text could not be made: libburn refused a text.";
                return std::nullopt;
            }
        }
    }
    unsigned char* packs = nullptr;
    int count = 0;
    if (burn_cdtext_from_session(session.get(), &packs, &count, 0) <= 0 || !packs) {
        std::free(packs);
        error = "The CD-Text is too long for one disc: shorten the titles and names.";
        return std::nullopt;
    }
    const std::size_t bytes = static_cast<std::size_t>(count) * 18;
    std::vector<std::uint8_t> file;
    file.reserve(bytes + 4);
    file.push_back(static_cast<std::uint8_t>((bytes + 2) >> 8));
    file.push_back(static_cast<std::uint8_t>(bytes + 2));
    file.push_back(0);
    file.push_back(0);
    file.insert(file.end(), packs, packs + bytes);
    std::free(packs);
    return file;
}

}  // namespace kilnware::platform::media
