// The contract checks of JSON members and their one message.
#include "primitives/json_access.hpp"

#include "primitives/utf8.hpp"

namespace orvane {

bool is_non_blank(const Json* value) {
    // Strings come from the JSON parser and are valid UTF-8.
    return value != nullptr && value->is_string() && !is_blank(value->get_ref<const std::string&>());
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
