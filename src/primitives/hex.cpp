#include "primitives/hex.hpp"

namespace orvane {
namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string invalid_character(std::string_view text, std::size_t i) {
    // Report the whole UTF-8 character that starts at the offending byte.
    std::size_t len = 1;
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xF0) len = 4;
    else if (lead >= 0xE0) len = 3;
    else if (lead >= 0xC0) len = 2;
    return "Invalid character '" + std::string(text.substr(i, len)) + "' at position " + std::to_string(i);
}

Status decode(std::string_view text, std::uint8_t* out) {
    if (text.size() % 2 != 0) return fail("Odd number of digits");
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit_value(text[i]);
        if (hi < 0) return fail(invalid_character(text, i));
        const int lo = digit_value(text[i + 1]);
        if (lo < 0) return fail(invalid_character(text, i + 1));
        out[i / 2] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return {};
}

}  // namespace

std::string hex_encode(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 0xF];
    }
    return out;
}

Result<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
    std::vector<std::uint8_t> out(text.size() / 2);
    ORVANE_TRY(decode(text, out.data()));
    return out;
}

Status hex_decode_into(std::string_view text, std::span<std::uint8_t> out, bool& right_size) {
    if (text.size() % 2 != 0) return fail("Odd number of digits");
    right_size = text.size() / 2 == out.size();
    if (!right_size) {
        // Still report a bad digit before the size, as a full decode would.
        auto decoded = hex_decode(text);
        if (!decoded) return fail(decoded.error());
        return {};
    }
    return decode(text, out.data());
}

}  // namespace orvane
