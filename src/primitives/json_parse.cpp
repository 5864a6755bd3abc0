// The shared JSON parser: nlohmann's lexer driven through our own SAX handler,
// which applies the system's rules (nesting limit, last duplicate wins, "-0"
// as the double -0.0) and reports positions as " at line L column C".
#include <cstddef>
#include <string>
#include <vector>

#include "primitives/json.hpp"

namespace orvane {
namespace {

constexpr std::size_t kMaxDepth = kMaxJsonDepth;

// Line and column (1-based) of a byte offset.
std::string position_text(std::string_view text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// Offset of the bracket that opens nesting level kMaxDepth + 1.
std::size_t too_deep_offset(std::string_view text) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) return i;
        } else if (c == ']' || c == '}') {
            if (depth > 0) --depth;
        }
    }
    return text.size();
}

// The longest piece of the input that a failure reason repeats: enough to
// see where parsing stopped, never the whole of a huge token.
constexpr std::size_t kMaxEchoedToken = 40;

// nlohmann's messages read "[json.exception.parse_error.101] parse error at
// line 1, column 2: syntax error ..."; keep only the description. The token
// the lexer had read when it stopped ("last read: '<token>'", "number
// overflow parsing '<token>'") is cut to kMaxEchoedToken bytes, or left out
// altogether when the input must never be quoted.
std::string describe(const std::string& what, const std::string& token, bool quote_input) {
    std::string_view w = what;
    if (auto close = w.find("] "); close != std::string_view::npos) w.remove_prefix(close + 2);
    if (auto colon = w.find(": "); w.starts_with("parse error") && colon != std::string_view::npos)
        w.remove_prefix(colon + 2);
    std::string out(w);
    if (token.empty()) return out;
    const std::string quoted = "'" + token + "'";
    const std::size_t at = out.find(quoted);
    if (at == std::string::npos) return out;
    if (quote_input) {
        if (token.size() > kMaxEchoedToken) {
            std::size_t keep = kMaxEchoedToken;  // never half a UTF-8 sequence
            while (keep > 0 && (static_cast<unsigned char>(token[keep]) & 0xC0) == 0x80) --keep;
            out.replace(at + 1, token.size(), token.substr(0, keep) + "...");
        }
        return out;
    }
    std::size_t from = at;
    for (std::string_view lead : {std::string_view("; last read: "), std::string_view(" parsing ")}) {
        if (from >= lead.size() && std::string_view(out).substr(from - lead.size(), lead.size()) == lead) {
            from -= lead.size();
            break;
        }
    }
    out.erase(from, at + quoted.size() - from);
    return out;
}

class Builder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    Json root;
    bool too_deep = false;
    std::size_t error_offset = 0;
    std::string error;
    std::string error_token;

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool v) { return put(Json(v)); }
    // A negative integer arrives here; only "-0" can arrive as zero.
    bool number_integer(number_integer_t v) {
        if (v == 0) return put(Json(-0.0));
        return put(Json(v));
    }
    bool number_unsigned(number_unsigned_t v) { return put(Json(v)); }
    bool number_float(number_float_t v, const string_t&) { return put(Json(v)); }
    bool string(string_t& v) { return put(Json(std::move(v))); }
    bool binary(binary_t&) { return false; }

    bool start_object(std::size_t) { return open(Json::object()); }
    bool key(string_t& k) {
        pending_key_ = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t position, const std::string& last_token,
                     const nlohmann::detail::exception& ex) {
        error_offset = position;
        error = ex.what();
        error_token = last_token;
        return false;
    }

private:
    bool put(Json&& value) {
        if (stack_.empty()) {
            root = std::move(value);
            return true;
        }
        Json& top = *stack_.back();
        if (top.is_array()) {
            top.get_ref<Json::array_t&>().push_back(std::move(value));
        } else {
            // A later duplicate replaces the earlier value.
            top.get_ref<Json::object_t&>().insert_or_assign(std::move(pending_key_), std::move(value));
        }
        return true;
    }

    bool open(Json&& container) {
        if (stack_.size() >= kMaxDepth) {
            too_deep = true;
            return false;
        }
        Json* slot;
        if (stack_.empty()) {
            root = std::move(container);
            slot = &root;
        } else {
            Json& top = *stack_.back();
            if (top.is_array()) {
                auto& arr = top.get_ref<Json::array_t&>();
                arr.push_back(std::move(container));
                slot = &arr.back();
            } else {
                auto& obj = top.get_ref<Json::object_t&>();
                auto [it, inserted] = obj.insert_or_assign(std::move(pending_key_), std::move(container));
                slot = &it->second;
            }
        }
        stack_.push_back(slot);
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    std::vector<Json*> stack_;
    std::string pending_key_;
};

Result<Json> parse_with(std::string_view text, bool quote_input) {
    // The lexer skips a leading byte-order mark as if it were whitespace;
    // here only space, tab, line feed and carriage return are.
    if (text.starts_with("\xEF\xBB\xBF"))
        return fail("syntax error while parsing value - a byte-order mark is not whitespace" +
                    position_text(text, 0));
    Builder builder;
    bool ok = Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                              true, false);
    if (ok) {
        // The lexer stops at a NUL byte as at the end of the input. Inside a
        // string a NUL is refused anyway, so a NUL left in a text that parsed
        // sits after the complete value: trailing characters.
        if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
            return fail("syntax error while parsing value - unexpected '<U+0000>'; expected end of input" +
                        position_text(text, nul));
        return std::move(builder.root);
    }
    if (builder.too_deep) {
        return fail("recursion limit exceeded" + position_text(text, too_deep_offset(text)));
    }
    // nlohmann reports how many characters it had read, the offending one included.
    std::size_t offset = builder.error_offset > 0 ? builder.error_offset - 1 : 0;
    return fail(describe(builder.error, builder.error_token, quote_input) + position_text(text, offset));
}

}  // namespace

Result<Json> parse_json(std::string_view text) { return parse_with(text, true); }

Result<Json> parse_json_unquoted(std::string_view text) { return parse_with(text, false); }

Result<ParsedField> parse_json_field(std::string_view name, std::string_view text) {
    auto value = parse_json(text);
    if (!value) return fail(std::string(name) + " must be valid JSON: " + value.error());
    ParsedField field{std::move(*value), {}};
    field.canonical = canonical_json(field.value);
    return field;
}

const Json* find_member(const Json& object, std::string_view name) {
    if (!object.is_object()) return nullptr;
    const auto& obj = object.get_ref<const Json::object_t&>();
    auto it = obj.find(std::string(name));
    return it == obj.end() ? nullptr : &it->second;
}

const std::string* find_string(const Json& object, std::string_view name) {
    const Json* member = find_member(object, name);
    return member && member->is_string() ? &member->get_ref<const std::string&>() : nullptr;
}

std::optional<std::uint64_t> find_unsigned(const Json& object, std::string_view name) {
    const Json* value = find_member(object, name);
    if (value == nullptr || !value->is_number_unsigned()) return std::nullopt;
    return value->get<std::uint64_t>();
}

}  // namespace orvane
