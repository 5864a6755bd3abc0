// Lenient member reads used by the receipt verifications: they never fail and
// turn a missing or mistyped member into a neutral value.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "authorization/intent.hpp"
#include "primitives/json.hpp"

namespace orvane::members {

inline const Json& null_json() {
    static const Json null_value;
    return null_value;
}

// The member itself, or nullptr when absent or when `object` is no object.
inline const Json* get(const Json& object, std::string_view name) {
    return object.is_object() ? find_member(object, name) : nullptr;
}

// Read as a string: missing or not a string counts as "".
inline std::string_view string(const Json& object, std::string_view name) {
    const Json* value = get(object, name);
    return value && value->is_string() ? std::string_view(value->get_ref<const std::string&>())
                                       : std::string_view();
}

// Read as an unsigned integer: missing or of another type counts as 0.
inline std::uint64_t uint(const Json& object, std::string_view name) {
    const Json* value = get(object, name);
    return is_unsigned_integer(value) ? value->get<std::uint64_t>() : 0;
}

// Optional-pair equality: both absent, or both present and value-equal.
inline bool optional_pair_equal(const Json& a, std::string_view a_name, const Json& b,
                                std::string_view b_name) {
    const Json* left = get(a, a_name);
    const Json* right = get(b, b_name);
    if (left == nullptr || right == nullptr) return left == right;
    return json_equal(*left, *right);
}

inline std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace orvane::members
