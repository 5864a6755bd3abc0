// The contract checks of JSON members and their one message.
#include "primitives/json_access.hpp"

namespace orvane {
namespace {

// Unicode White_Space code points.
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// True when the text holds a code point that is not whitespace. Strings come
// from the JSON parser and are valid UTF-8; a malformed sequence counts as
// content rather than space.
bool has_content(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t cp = 0;
        std::size_t len = 1;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            len = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            len = 3;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            len = 4;
        } else {
            return true;
        }
        if (i + len > text.size()) return true;
        for (std::size_t k = 1; k < len; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!is_unicode_space(cp)) return true;
        i += len;
    }
    return false;
}

}  // namespace

bool is_non_blank(const Json* value) {
    return value != nullptr && value->is_string() && has_content(value->get_ref<const std::string&>());
}

bool is_unsigned_integer(const Json* value) {
    if (value == nullptr) return false;
    if (value->is_number_unsigned()) return true;
    return value->is_number_integer() && value->get<std::int64_t>() >= 0;
}

const std::string* find_non_blank(const Json& object, std::string_view name) {
    const Json* value = find_member(object, name);
    return is_non_blank(value) ? &value->get_ref<const std::string&>() : nullptr;
}

std::optional<std::uint64_t> unsigned_member(const Json& object, std::string_view name) {
    const Json* value = find_member(object, name);
    if (!is_unsigned_integer(value)) return std::nullopt;
    return value->get<std::uint64_t>();
}

std::string non_empty_string_message(std::string_view name) {
    std::string message = "ORVANE_INVALID_CONTRACT: '";
    message.append(name);
    message.append("' must be a non-empty string");
    return message;
}

Result<std::string_view> require_non_blank(const Json& object, std::string_view name) {
    const Json* value = find_member(object, name);
    if (!is_non_blank(value)) return fail(non_empty_string_message(name));
    return std::string_view(value->get_ref<const std::string&>());
}

}  // namespace orvane
