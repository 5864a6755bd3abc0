// The canonical writer. Its bytes are part of the data format.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "primitives/json.hpp"

namespace orvane {

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + run_start, i - run_start);
        run_start = i + 1;
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                out.append("\\u00");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.data() + run_start, text.size() - run_start);
    out.push_back('"');
}

void append_json_uint(std::string& out, unsigned long long value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, end);
}

// Shortest round-trip digits, written positionally for decimal exponents
// -5..15 and in exponent form otherwise.
void append_json_double(std::string& out, double value) {
    if (std::signbit(value)) out.push_back('-');
    value = std::fabs(value);
    if (value == 0.0) {
        out.append("0.0");
        return;
    }
    char buf[40];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(end - buf));  // d[.ddd]e[+-]xx
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    digits.push_back(sci[0]);
    if (e_pos > 1) digits.append(sci.substr(2, e_pos - 2));
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    const int n = static_cast<int>(digits.size());
    if (exponent >= -5 && exponent <= 15) {
        if (exponent < 0) {
            out.append("0.");
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits);
        } else if (n <= exponent + 1) {
            out.append(digits);
            out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
            out.append(".0");
        } else {
            out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(exponent + 1));
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    append_json_uint(out, static_cast<unsigned long long>(exponent < 0 ? -exponent : exponent));
}

namespace {

// Members in key order (std::map keeps them sorted bytewise), leaving out the
// names in `omitted`.
void append_object(std::string& out, const Json::object_t& object,
                   std::initializer_list<std::string_view> omitted) {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, member] : object) {
        bool skip = false;
        for (std::string_view name : omitted) skip = skip || key == name;
        if (skip) continue;
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, key);
        out.push_back(':');
        append_canonical_json(out, member);
    }
    out.push_back('}');
}

}  // namespace

void append_canonical_json(std::string& out, const Json& value) {
    switch (value.type()) {
        case Json::value_t::null: out.append("null"); break;
        case Json::value_t::boolean: out.append(value.get<bool>() ? "true" : "false"); break;
        case Json::value_t::number_unsigned:
            append_json_uint(out, value.get<Json::number_unsigned_t>());
            break;
        case Json::value_t::number_integer: {
            const auto v = value.get<Json::number_integer_t>();
            if (v < 0) {
                out.push_back('-');
                append_json_uint(out, 0ULL - static_cast<unsigned long long>(v));
            } else {
                append_json_uint(out, static_cast<unsigned long long>(v));
            }
            break;
        }
        case Json::value_t::number_float: append_json_double(out, value.get<double>()); break;
        case Json::value_t::string: append_json_string(out, value.get_ref<const std::string&>()); break;
        case Json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& item : value.get_ref<const Json::array_t&>()) {
                if (!first) out.push_back(',');
                first = false;
                append_canonical_json(out, item);
            }
            out.push_back(']');
            break;
        }
        case Json::value_t::object: append_object(out, value.get_ref<const Json::object_t&>(), {}); break;
        default: out.append("null"); break;  // binary and discarded values never come from the parser
    }
}

std::string canonical_json(const Json& value) {
    std::string out;
    out.reserve(128);
    append_canonical_json(out, value);
    return out;
}

bool json_nests_within(const Json& value, std::size_t limit) {
    if (!value.is_structured()) return true;
    if (limit == 0) return false;
    for (const Json& child : value) {
        if (!json_nests_within(child, limit - 1)) return false;
    }
    return true;
}

std::string canonical_json_without(const Json& value, std::initializer_list<std::string_view> omitted) {
    if (!value.is_object()) return canonical_json(value);
    std::string out;
    out.reserve(128);
    append_object(out, value.get_ref<const Json::object_t&>(), omitted);
    return out;
}

bool json_equal(const Json& a, const Json& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Json::value_t::number_float: {
            // Bitwise-equal doubles, so -0.0 and 0.0 differ as their texts do.
            const double x = a.get<double>(), y = b.get<double>();
            return x == y && std::signbit(x) == std::signbit(y);
        }
        case Json::value_t::array: {
            const auto& x = a.get_ref<const Json::array_t&>();
            const auto& y = b.get_ref<const Json::array_t&>();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!json_equal(x[i], y[i])) return false;
            return true;
        }
        case Json::value_t::object: {
            const auto& x = a.get_ref<const Json::object_t&>();
            const auto& y = b.get_ref<const Json::object_t&>();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !json_equal(i->second, j->second)) return false;
            return true;
        }
        default: return a == b;
    }
}

}  // namespace orvane
