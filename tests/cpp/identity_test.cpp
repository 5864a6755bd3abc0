#include <gtest/gtest.h>

#include "identity/registration_event.hpp"
#include "identity/text.hpp"

namespace orvane {
namespace {

TEST(IdentityText, TrimsUnicodeWhitespace) {
    EXPECT_EQ(trim_unicode("  bot \t"), "bot");
    EXPECT_EQ(trim_unicode("\u3000\u00a0x y\u2029"), "x y");
    EXPECT_TRUE(is_blank(" \n\u2003\u0085"));
    EXPECT_FALSE(is_blank("\u200b"));  // zero width space is not White_Space
    EXPECT_TRUE(is_blank(""));
    // Invalid UTF-8 is kept as content, never read past the end.
    EXPECT_EQ(trim_unicode(" \xe3\x80"), "\xe3\x80");
    EXPECT_EQ(trim_unicode("\xff "), "\xff");
}

TEST(IdentityText, ParsesDecimalVersions) {
    EXPECT_EQ(parse_decimal_u64("3"), 3u);
    EXPECT_EQ(parse_decimal_u64("+3"), 3u);
    EXPECT_EQ(parse_decimal_u64("18446744073709551615"), UINT64_MAX);
    EXPECT_FALSE(parse_decimal_u64("18446744073709551616"));
    EXPECT_FALSE(parse_decimal_u64(""));
    EXPECT_FALSE(parse_decimal_u64("+"));
    EXPECT_FALSE(parse_decimal_u64("-1"));
    EXPECT_FALSE(parse_decimal_u64(" 1"));
    EXPECT_FALSE(parse_decimal_u64("1a"));
}

}  // namespace
}  // namespace orvane
