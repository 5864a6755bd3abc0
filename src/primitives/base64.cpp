#include "primitives/base64.hpp"

#include <sodium.h>

namespace orvane {

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    const std::size_t length = sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    std::string out(length, '\0');
    sodium_bin2base64(out.data(), length, bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(length - 1);  // the terminating NUL
    return out;
}

Result<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    std::vector<std::uint8_t> out(text.size() / 4 * 3 + 3);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return fail("invalid base64");
    }
    out.resize(length);
    if (base64_encode(out) != text) return fail("invalid base64");
    return out;
}

}  // namespace orvane
