// The parser and canonical writer: every byte they produce is part of the
// data format, so each rule is pinned here.
#include <gtest/gtest.h>

#include <string>

#include "primitives/digest.hpp"
#include "primitives/json.hpp"

using orvane::canonical_json;
using orvane::parse_json;

namespace {

std::string roundtrip(std::string_view text) {
    auto value = parse_json(text);
    EXPECT_TRUE(value.has_value()) << text << ": " << (value ? "" : value.error());
    return value ? canonical_json(*value) : std::string();
}

std::string reason(std::string_view text) {
    auto value = parse_json(text);
    EXPECT_FALSE(value.has_value()) << text;
    return value ? std::string() : value.error();
}

}  // namespace

TEST(CanonicalJson, RemovesWhitespaceAndSortsMembers) {
    EXPECT_EQ(roundtrip(" { \"b\" : 1 , \"a\" : [ true , null ] } "), "{\"a\":[true,null],\"b\":1}");
    EXPECT_EQ(roundtrip("{\"a\":1,\"a\":2}"), "{\"a\":2}");
    EXPECT_EQ(roundtrip("{\"a\":1,\"B\":2,\"aa\":3,\"\xc3\xa9\":4,\"z\":5}"),
              "{\"B\":2,\"a\":1,\"aa\":3,\"z\":5,\"\xc3\xa9\":4}");
    EXPECT_EQ(roundtrip("{\"x\":{\"d\":1,\"c\":{\"b\":0,\"a\":0}}}"), "{\"x\":{\"c\":{\"a\":0,\"b\":0},\"d\":1}}");
}

TEST(CanonicalJson, Numbers) {
    EXPECT_EQ(roundtrip("1"), "1");
    EXPECT_EQ(roundtrip("1.0"), "1.0");
    EXPECT_EQ(roundtrip("1e2"), "100.0");
    EXPECT_EQ(roundtrip("18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(roundtrip("18446744073709551616"), "1.8446744073709552e+19");
    EXPECT_EQ(roundtrip("-9223372036854775808"), "-9223372036854775808");
    EXPECT_EQ(roundtrip("-9223372036854775809"), "-9.223372036854776e+18");
    EXPECT_EQ(roundtrip("-0"), "-0.0");
    EXPECT_EQ(roundtrip("-0.0"), "-0.0");
    EXPECT_EQ(roundtrip("0.1"), "0.1");
    EXPECT_EQ(roundtrip("123456789012345680000.0"), "1.2345678901234568e+20");
    EXPECT_EQ(roundtrip("0.000001"), "1e-6");
    EXPECT_EQ(roundtrip("0.00001"), "0.00001");
    EXPECT_EQ(roundtrip("1e15"), "1000000000000000.0");
    EXPECT_EQ(roundtrip("1e16"), "1e+16");
    EXPECT_EQ(roundtrip("1.5e16"), "1.5e+16");
    EXPECT_EQ(roundtrip("2.5e-7"), "2.5e-7");
    EXPECT_EQ(roundtrip("12.5"), "12.5");
    EXPECT_EQ(roundtrip("-3"), "-3");
    EXPECT_EQ(roundtrip("0"), "0");
    EXPECT_EQ(roundtrip("0.0"), "0.0");
}

TEST(CanonicalJson, NumberKindsStayApart) {
    EXPECT_TRUE(parse_json("5")->is_number_unsigned());
    EXPECT_TRUE(parse_json("-5")->is_number_integer());
    EXPECT_TRUE(parse_json("5.0")->is_number_float());
    EXPECT_TRUE(std::signbit(parse_json("-0")->get<double>()));
    EXPECT_FALSE(orvane::json_equal(*parse_json("1"), *parse_json("1.0")));
    EXPECT_FALSE(orvane::json_equal(*parse_json("1"), *parse_json("true")));
    EXPECT_FALSE(orvane::json_equal(*parse_json("0.0"), *parse_json("-0.0")));
    EXPECT_TRUE(orvane::json_equal(*parse_json("{\"a\":[1,2]}"), *parse_json("{ \"a\" : [1, 2] }")));
}

TEST(CanonicalJson, RefusesBadNumbers) {
    for (const char* text : {"1E400", "-1e400", "01", "+1", ".5", "1.", "-", "1e", "0x10"})
        EXPECT_FALSE(parse_json(text).has_value()) << text;
}

TEST(CanonicalJson, Strings) {
    EXPECT_EQ(roundtrip("\"\\u00e9\""), "\"\xc3\xa9\"");
    EXPECT_EQ(roundtrip("\"\\u00E9\""), "\"\xc3\xa9\"");
    EXPECT_EQ(roundtrip("\"a\\/b\""), "\"a/b\"");
    EXPECT_EQ(roundtrip("\"\\t\""), "\"\\t\"");
    EXPECT_EQ(roundtrip("\"\\u001f\""), "\"\\u001f\"");
    EXPECT_EQ(roundtrip("\"\\u007f\""), "\"\x7f\"");
    EXPECT_EQ(roundtrip("\"\\b\\f\\n\\r\\\"\\\\\""), "\"\\b\\f\\n\\r\\\"\\\\\"");
    EXPECT_EQ(roundtrip("\"\\u0000\""), "\"\\u0000\"");
    EXPECT_EQ(roundtrip("\"\\ud83d\\ude00\""), "\"\xf0\x9f\x98\x80\"");
    for (const char* text : {"\"\\ud83d\"", "\"\\ude00\"", "\"\t\"", "\"\x01\"", "\"\xff\"", "\"\\x\"", "\"abc"})
        EXPECT_FALSE(parse_json(text).has_value()) << text;
}

TEST(CanonicalJson, NestingLimit) {
    const std::string ok = std::string(127, '[') + std::string(127, ']');
    const std::string deep = std::string(128, '[') + std::string(128, ']');
    EXPECT_TRUE(parse_json(ok).has_value());
    const std::string why = reason(deep);
    EXPECT_NE(why.find("recursion limit"), std::string::npos) << why;
    EXPECT_NE(why.find(" at line 1 column 128"), std::string::npos) << why;
    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"a\":";
    objects += "1" + std::string(128, '}');
    EXPECT_FALSE(parse_json(objects).has_value());
}

TEST(CanonicalJson, TopLevelAndTrailingText) {
    EXPECT_EQ(roundtrip("{}\n\t "), "{}");
    EXPECT_EQ(roundtrip(" 5 "), "5");
    EXPECT_EQ(roundtrip("null"), "null");
    EXPECT_EQ(roundtrip("\"s\""), "\"s\"");
    const std::string why = reason("{} x");
    EXPECT_TRUE(why.ends_with(" at line 1 column 4")) << why;
    EXPECT_FALSE(parse_json("").has_value());
    EXPECT_FALSE(parse_json("{}\f").has_value());
    // The lexer takes a NUL byte for the end of the input; what follows a
    // complete value must still be refused, not ignored.
    using namespace std::string_literals;
    const std::pair<std::string, std::string> nuls[] = {
        {"{}\0"s, " at line 1 column 3"},
        {"0\0"s, " at line 1 column 2"},
        {"{}\0x"s, " at line 1 column 3"},
        {"\"s\" \0"s, " at line 1 column 5"},
        {"[1]\n\0{\"a\":2}"s, " at line 2 column 1"},
    };
    for (const auto& [text, position] : nuls) {
        const std::string why_nul = reason(text);
        EXPECT_TRUE(why_nul.ends_with(position)) << why_nul;
    }
    EXPECT_FALSE(parse_json("[1\0]"s).has_value());
    EXPECT_FALSE(parse_json("\"a\0\""s).has_value());
}

TEST(CanonicalJson, ErrorPositionCountsLines) {
    const std::string why = reason("{\n  \"a\": tru\n}");
    EXPECT_NE(why.find(" at line 2 column "), std::string::npos) << why;
}

TEST(CanonicalJson, DigestOfEmptyObject) {
    EXPECT_EQ(orvane::canonical_digest(*parse_json("{ }")),
              "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
}

TEST(CanonicalJson, FieldParsingNamesTheArgument) {
    auto field = orvane::parse_json_field("metadata", "{\"b\": 1, \"a\": 2}");
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->canonical, "{\"a\":2,\"b\":1}");
    auto bad = orvane::parse_json_field("metadata", "{");
    ASSERT_FALSE(bad.has_value());
    EXPECT_TRUE(bad.error().starts_with("metadata must be valid JSON: ")) << bad.error();
}

// Writing an object without some members must give the bytes of the copy
// with those members erased, whatever their position (first, middle, last).
TEST(CanonicalJson, WithoutMembersMatchesTheErasedCopy) {
    const auto value = *parse_json(R"({"a":1,"m":{"x":[1,"y"]},"sig":"s","z":null,"id":"i"})");
    for (std::initializer_list<std::string_view> omitted :
         {std::initializer_list<std::string_view>{}, {"a"}, {"sig", "id"}, {"z"}, {"a", "m", "sig", "z", "id"},
          {"absent"}}) {
        orvane::Json copy = value;
        for (std::string_view name : omitted) copy.erase(std::string(name));
        EXPECT_EQ(orvane::canonical_json_without(value, omitted), canonical_json(copy));
    }
    EXPECT_EQ(orvane::canonical_json_without(*parse_json("[1,2]"), {"a"}), "[1,2]");
    EXPECT_EQ(orvane::canonical_json_without(*parse_json("\"a\""), {"a"}), "\"a\"");
}

// Only space, tab, line feed and carriage return are whitespace; the lexer
// would skip a leading byte-order mark.
TEST(JsonParser, ByteOrderMarkIsNotWhitespace) {
    EXPECT_EQ(reason("\xEF\xBB\xBF{}"),
              "syntax error while parsing value - a byte-order mark is not whitespace at line 1 column 1");
    EXPECT_FALSE(parse_json(" \xEF\xBB\xBF{}").has_value());
    EXPECT_FALSE(parse_json("{}\xEF\xBB\xBF").has_value());
    EXPECT_EQ(roundtrip(" \t\r\n{}\n"), "{}");
}

// A reason repeats at most a short piece of the token the parser stopped at,
// and for texts that may hold secrets none of it.
TEST(JsonParser, ReasonsQuoteLittleOrNothingOfTheInput) {
    const std::string secret(64, 'a');
    const std::string truncated = "{\"private_key\": \"" + secret;
    const std::string quoted = reason(truncated);
    EXPECT_EQ(quoted,
              "syntax error while parsing value - invalid string: missing closing quote; last read: '\"" +
                  secret.substr(0, 39) + "...' at line 1 column 82");
    auto unquoted = orvane::parse_json_unquoted(truncated);
    ASSERT_FALSE(unquoted.has_value());
    EXPECT_EQ(unquoted.error(),
              "syntax error while parsing value - invalid string: missing closing quote at line 1 column 82");

    // (Texts are built by appending: gcc 12 misreports concatenated temporaries.)
    const std::string zeros(39, '0'), xs(38, 'x');
    std::string huge = "1";
    huge.append(1000, '0').append("e999");
    std::string overflow = "number overflow parsing '1";
    overflow.append(zeros).append("...' at line 1 column 1005");
    EXPECT_EQ(reason(huge), overflow);
    EXPECT_EQ(orvane::parse_json_unquoted(huge).error(), "number overflow at line 1 column 1005");
    // Short tokens are quoted whole, as before.
    EXPECT_EQ(reason("tru"), "syntax error while parsing value - invalid literal; last read: 'tru' at line 1 column 4");
    // A cut never splits a UTF-8 sequence.
    std::string accents = "\"";
    accents.append(xs).append("\xC3\xA9\xC3\xA9");
    std::string cut = "'\"";
    cut.append(xs).append("...'");
    EXPECT_NE(reason(accents).find(cut), std::string::npos) << reason(accents);
}
