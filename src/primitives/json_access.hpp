// Reading members of parsed JSON documents: the contract checks (a non-blank
// string, an unsigned integer) with their one message, and the lenient
// readers of the verifications, which never fail and read a missing or
// mistyped member as a neutral value ("" or 0).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "primitives/json.hpp"

namespace orvane {

// A present JSON string that is not empty after trimming Unicode whitespace.
bool is_non_blank(const Json* value);
// A JSON number that is an integer from 0 to 2^64-1 (no fraction, no exponent).
bool is_unsigned_integer(const Json* value);

// The member when it is a non-blank string, else nullptr.
const std::string* find_non_blank(const Json& object, std::string_view name);
// The member when it is an unsigned integer (is_unsigned_integer), else nullopt.
std::optional<std::uint64_t> unsigned_member(const Json& object, std::string_view name);

// "ORVANE_INVALID_CONTRACT: '<name>' must be a non-empty string".
std::string non_empty_string_message(std::string_view name);

// The member when it is a non-blank string, else the contract failure naming it.
Result<std::string_view> require_non_blank(const Json& object, std::string_view name);

namespace members {

inline const Json& null_json() {
    static const Json null_value;
    return null_value;
}

// The member itself, or nullptr when absent or when `object` is no object.
inline const Json* get(const Json& object, std::string_view name) { return find_member(object, name); }

// The string member; a missing or non-string member reads as "".
inline std::string_view string_or_empty(const Json& object, std::string_view name) {
    const std::string* value = find_string(object, name);
    return value ? std::string_view(*value) : std::string_view();
}

// The unsigned integer member; a missing member or one of another type reads as 0.
inline std::uint64_t uint_or_zero(const Json& object, std::string_view name) {
    const Json* value = get(object, name);
    return is_unsigned_integer(value) ? value->get<std::uint64_t>() : 0;
}

// Both absent, or both present and equal (json_equal).
inline bool optional_pair_equal(const Json* left, const Json* right) {
    if (left == nullptr || right == nullptr) return left == right;
    return json_equal(*left, *right);
}
inline bool optional_pair_equal(const Json& a, std::string_view a_name, const Json& b,
                                std::string_view b_name) {
    return optional_pair_equal(get(a, a_name), get(b, b_name));
}

inline std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace members
}  // namespace orvane
