// The one JSON parser and the one canonical writer of the system. The bytes the
// writer produces are part of the data format: every digest and signature is
// taken over them, so any change here changes every stored record.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.hpp"

namespace orvane {

// Objects are std::map, so members already sit in bytewise key order.
using Json = nlohmann::json;

// The deepest nesting of arrays and objects that parse_json accepts. A
// document that embeds another one a level deeper must stay within it, or it
// cannot be read back.
inline constexpr std::size_t kMaxJsonDepth = 127;

// Parses `text` under the system's rules: nesting limited to 127 levels, the
// last duplicate member wins, "-0" is the double -0.0, integers kept apart from
// doubles. The failure reason ends with " at line L column C".
Result<Json> parse_json(std::string_view text);
// The same parser for texts that may hold secrets (key files, signer
// configurations): the failure reason keeps the description and the
// position but never repeats any of the input.
Result<Json> parse_json_unquoted(std::string_view text);

struct ParsedField {
    Json value;
    std::string canonical;
};

// Parses the text of a named argument: "<name> must be valid JSON: <reason>".
Result<ParsedField> parse_json_field(std::string_view name, std::string_view text);

// Canonical text: members sorted bytewise, no whitespace, shortest doubles.
std::string canonical_json(const Json& value);
void append_canonical_json(std::string& out, const Json& value);
// The canonical text of an object as if the named members were removed,
// written without copying it; any other value is written whole.
std::string canonical_json_without(const Json& value, std::initializer_list<std::string_view> omitted);

// Token writers, for records whose members have a fixed, unsorted order.
void append_json_string(std::string& out, std::string_view text);
void append_json_uint(std::string& out, unsigned long long value);
void append_json_double(std::string& out, double value);

// Whether `value` nests arrays and objects no deeper than `limit` levels.
bool json_nests_within(const Json& value, std::size_t limit);

// Strict structural equality: 1, 1.0 and true are three different values.
bool json_equal(const Json& a, const Json& b);

// Member lookups that never throw and never insert.
const Json* find_member(const Json& object, std::string_view name);
const std::string* find_string(const Json& object, std::string_view name);
// The member as an unsigned integer; nullopt when missing or of another type.
std::optional<std::uint64_t> find_unsigned(const Json& object, std::string_view name);

}  // namespace orvane
