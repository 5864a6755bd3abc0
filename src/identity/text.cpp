#include "identity/text.hpp"

#include <cstdint>

namespace orvane {
namespace {

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Decodes the code point starting at `i`; 0 length for an invalid sequence.
std::size_t decode(std::string_view s, std::size_t i, char32_t& out) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    char32_t c = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto cont = static_cast<unsigned char>(s[i + k]);
        if ((cont >> 6) != 0x2) return 0;
        c = (c << 6) | (cont & 0x3F);
    }
    out = c;
    return n;
}

// Length of the space character that ends at `end` (exclusive), or 0.
std::size_t trailing_space(std::string_view s, std::size_t end) {
    for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
        char32_t c = 0;
        if (decode(s, end - n, c) == n) return is_space(c) ? n : 0;
    }
    return 0;
}

}  // namespace

std::string_view trim_unicode(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t c = 0;
        const std::size_t n = decode(text, begin, c);
        if (n == 0 || !is_space(c)) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t n = trailing_space(text, end);
        if (n == 0) break;
        end -= n;
    }
    return text.substr(begin, end - begin);
}

}  // namespace orvane
