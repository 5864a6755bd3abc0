// UTF-8: validity, lossy decoding and trimming of Unicode whitespace.
#include "primitives/utf8.hpp"

#include <cstdint>

namespace orvane {

namespace {

// Decodes one UTF-8 sequence at `pos`; returns its length, or 0 when the bytes
// there are not a valid sequence (overlong forms and surrogates included).
std::size_t decode_one(std::string_view s, std::size_t pos, char32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(pos);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    std::size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > s.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t next = byte(pos + i);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    out = value;
    return length;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string_view trim_unicode(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t c;
        const std::size_t length = decode_one(text, begin, c);
        if (length == 0 || !is_white_space(c)) break;
        begin += length;
    }
    std::size_t end = begin;  // end of the last character that is not whitespace
    for (std::size_t pos = begin; pos < text.size();) {
        char32_t c;
        std::size_t length = decode_one(text, pos, c);
        if (length == 0) {
            length = 1;
            end = pos + 1;
        } else if (!is_white_space(c)) {
            end = pos + length;
        }
        pos += length;
    }
    return text.substr(begin, end - begin);
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t pos = 0; pos < bytes.size();) {
        char32_t c;
        const std::size_t length = decode_one(bytes, pos, c);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        char32_t c;
        const std::size_t length = decode_one(bytes, pos, c);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++pos;
        } else {
            out.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

}  // namespace orvane
