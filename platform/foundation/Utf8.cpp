#include "platform/foundation/Utf8.h"

namespace kilnware::platform {

std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& position) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte < 0x80) {
        ++position;
        return byte;
    }
    std::size_t length;
    char32_t value;
    char32_t minimum;
    if ((byte & 0xE0) == 0xC0) {
        length = 2;
        value = byte & 0x1Fu;
        minimum = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
        length = 3;
        value = byte & 0x0Fu;
        minimum = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
        length = 4;
        value = byte & 0x07u;
        minimum = 0x10000;
    } else {
        ++position;
        return std::nullopt;
    }
    if (text.size() - position < length) {
        ++position;
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[position + k]);
        if ((next & 0xC0) != 0x80) {
            ++position;
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++position;
        return std::nullopt;
    }
    position += length;
    return value;
}

std::optional<std::u32string> decodeUtf8(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto code = nextCodePoint(text, i);
        if (!code) {
            return std::nullopt;
        }
        out.push_back(*code);
    }
    return out;
}

bool isValidUtf8(std::string_view text) {
    return decodeUtf8(text).has_value();
}

void appendUtf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

std::string cutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    std::size_t end = maxBytes;
    // Back up over continuation bytes to the start of the character that does not fit.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text.substr(0, end));
}

std::string replaceBeyondBasicPlane(std::string_view text, char replacement) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const auto code = nextCodePoint(text, i);
        if (code && *code > 0xFFFF) {
            out.push_back(replacement);
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

}  // namespace kilnware::platform
