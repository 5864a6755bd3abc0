#include <gtest/gtest.h>

#include "identity/registration_event.hpp"
#include "identity/resolve.hpp"
#include "primitives/utf8.hpp"
#include "storage/sqlite.hpp"

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

storage::Connection roots_db(const char* rows) {
    auto db = storage::Connection::open_read_write(":memory:");
    EXPECT_TRUE(db.has_value());
    // Without the one-row check, as a writer could rebuild the table.
    EXPECT_TRUE(db->exec("CREATE TABLE trusted_roots (id INTEGER PRIMARY KEY, public_key, established_at)"));
    EXPECT_TRUE(db->exec(rows));
    return std::move(*db);
}

TEST(TrustedRoot, TheTableMustHoldExactlyTheGivenKey) {
    const std::string mismatch =
        "ORVANE_TRUSTED_ROOT_MISMATCH: trusted_roots must hold exactly one row, the gate key";
    auto empty = roots_db("SELECT 1");
    auto none = check_trusted_root(empty, "aa");
    ASSERT_TRUE(none.has_value());
    EXPECT_FALSE(none->recorded);  // not bootstrapped: nothing resolves

    auto one = roots_db("INSERT INTO trusted_roots VALUES (1, 'aa', 0)");
    auto same = check_trusted_root(one, "aa");
    ASSERT_TRUE(same.has_value());
    EXPECT_TRUE(same->recorded);
    EXPECT_EQ(same->key, "aa");
    EXPECT_EQ(check_trusted_root(one, "AA").error(), mismatch);  // exact text, as identities compare
    EXPECT_EQ(check_trusted_root(one, "bb").error(), mismatch);

    auto two = roots_db("INSERT INTO trusted_roots VALUES (1, 'aa', 0), (2, 'bb', 0)");
    EXPECT_EQ(check_trusted_root(two, "aa").error(), mismatch);
    EXPECT_EQ(check_trusted_root(two, "bb").error(), mismatch);
    auto blob = roots_db("INSERT INTO trusted_roots VALUES (1, CAST('aa' AS BLOB), 0)");
    EXPECT_EQ(check_trusted_root(blob, "aa").error(), mismatch);
}

TEST(TrustedRoot, LifecycleStreamIdsOfOneIdentityShareARangeNoOtherEnters) {
    auto db = storage::Connection::open_read_write(":memory:");
    ASSERT_TRUE(db.has_value());
    ASSERT_TRUE(db->exec("CREATE TABLE s (event_id TEXT PRIMARY KEY)"));
    const std::string mine = lifecycle_stream_event_id("ab", "e1");
    EXPECT_EQ(mine, "ab:e1");
    for (const std::string& id : {mine, lifecycle_stream_event_id("ab", "e2"), lifecycle_stream_event_id("abc", "e1"),
                                  std::string("ab"), std::string("ab;"), lifecycle_stream_event_id("a", "b:e1")}) {
        auto insert = storage::Statement::prepare(*db, "INSERT INTO s VALUES (?1)");
        ASSERT_TRUE(insert.has_value());
        ASSERT_TRUE(insert->bind_text(1, id));
        ASSERT_TRUE(insert->run());
    }
    // The bounds resolution uses: just after "ab:" and just before "ab;".
    auto range = storage::Statement::prepare(*db, "SELECT event_id FROM s WHERE event_id > 'ab:' AND event_id < 'ab;' "
                                                  "ORDER BY event_id");
    ASSERT_TRUE(range.has_value());
    std::vector<std::string> found;
    while (*range->step()) found.emplace_back(range->column_text(0));
    EXPECT_EQ(found, (std::vector<std::string>{"ab:e1", "ab:e2"}));
}

}  // namespace
}  // namespace orvane
