// The shared helpers of the core: passing failures up with a context, typed
// queries, the JSON member readers and the parse-once byte types.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "primitives/digest.hpp"
#include "primitives/json_access.hpp"
#include "primitives/keys.hpp"
#include "storage/query.hpp"

namespace orvane {
namespace {

// --- failures passed up ---------------------------------------------------

Result<std::string> text_or_failure(bool ok) {
    if (!ok) return fail("no text");
    return std::string("text");
}

Result<std::size_t> length_of(bool ok) {
    ORVANE_ASSIGN_OR_RETURN(const std::string text, text_or_failure(ok));
    return text.size();
}

Result<int> assigns_existing(bool ok, std::string& target) {
    ORVANE_ASSIGN_OR_RETURN(target, text_or_failure(ok));
    return 1;
}

TEST(ResultHelpers, AssignOrReturnPassesTheValueOrTheFailureUnchanged) {
    auto length = length_of(true);
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 4u);
    auto failed = length_of(false);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "no text");

    std::string target = "before";
    EXPECT_FALSE(assigns_existing(false, target));
    EXPECT_EQ(target, "before");  // untouched by a failure
    EXPECT_TRUE(assigns_existing(true, target));
    EXPECT_EQ(target, "text");
}

TEST(ResultHelpers, WithContextPrefixesOnlyFailures) {
    Result<std::string> prefixed = text_or_failure(false).with_context("Failed to read: ");
    ASSERT_FALSE(prefixed);
    EXPECT_EQ(prefixed.error(), "Failed to read: no text");
    Result<std::string> kept = text_or_failure(true).with_context("Failed to read: ");
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, "text");
}

// --- typed queries --------------------------------------------------------

storage::Connection table_db() {
    auto db = storage::Connection::open_read_write(":memory:");
    EXPECT_TRUE(db) << db.error();
    EXPECT_TRUE(db->exec("CREATE TABLE t (k TEXT PRIMARY KEY, n INTEGER, note TEXT);"
                         "INSERT INTO t VALUES ('a', 1, 'first'), ('b', 0, NULL);"));
    return std::move(*db);
}

struct NamedRow {
    std::string key;
    std::int64_t number = 0;
    static Result<NamedRow> from_row(const storage::Statement& row) {
        ORVANE_ASSIGN_OR_RETURN(std::string key, row.column_string(0));
        return NamedRow{std::move(key), row.column_int64(1)};
    }
};

TEST(Queries, ReadFirstRowsAsValuesTuplesAndNamedRows) {
    auto db = table_db();
    const storage::Queries q{db, "Failed to read t: "};

    auto note = q.query_one<std::optional<std::string>>("SELECT note FROM t WHERE k = ?1", "b");
    ASSERT_TRUE(note) << note.error();
    ASSERT_TRUE(note->has_value());
    EXPECT_FALSE(note->value().has_value());  // NULL stays distinguishable

    auto pair = q.query_one<std::string, std::int64_t>("SELECT note, n FROM t WHERE k = ?1", std::string("a"));
    ASSERT_TRUE(pair && pair->has_value());
    EXPECT_EQ(std::get<0>(**pair), "first");
    EXPECT_EQ(std::get<1>(**pair), 1);

    auto none = q.query_one<std::string>("SELECT note FROM t WHERE k = ?1", std::string_view("zz"));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());

    auto named = q.query_one<NamedRow>("SELECT k, n FROM t WHERE n = ?1", 1);
    ASSERT_TRUE(named && named->has_value());
    EXPECT_EQ((*named)->key, "a");
    // The struct's own failure comes through without the prefix.
    auto strict = q.query_one<NamedRow>("SELECT n, k FROM t WHERE k = 'a'");
    ASSERT_FALSE(strict);
    EXPECT_EQ(strict.error().rfind("Invalid column type Integer", 0), 0u) << strict.error();
}

TEST(Queries, ExistsFitsBothQueryForms) {
    auto db = table_db();
    const storage::Queries q{db, "Failed to check t: "};
    EXPECT_TRUE(*q.exists("SELECT 1 FROM t WHERE k = ?1", "a"));
    EXPECT_FALSE(*q.exists("SELECT 1 FROM t WHERE k = ?1", "zz"));
    EXPECT_TRUE(*q.exists("SELECT EXISTS(SELECT 1 FROM t WHERE k = ?1)", "b"));
    EXPECT_FALSE(*q.exists("SELECT EXISTS(SELECT 1 FROM t WHERE k = ?1)", "zz"));
}

TEST(Queries, BindingsKeepTheirTypesAndNullsAndUnsignedImages) {
    auto db = table_db();
    const storage::Queries q{db, "Failed to write t: "};
    constexpr std::uint64_t kBig = std::numeric_limits<std::uint64_t>::max() - 1;
    ASSERT_TRUE(q.execute("INSERT INTO t VALUES (?1, ?2, ?3)", "c", kBig, std::optional<std::string>()));
    auto row = q.query_one<std::uint64_t, std::optional<std::string>, std::string>(
        "SELECT n, note, typeof(note) FROM t WHERE k = ?1", "c");
    ASSERT_TRUE(row && row->has_value()) << (row ? "" : row.error());
    EXPECT_EQ(std::get<0>(**row), kBig);
    EXPECT_FALSE(std::get<1>(**row).has_value());
    EXPECT_EQ(std::get<2>(**row), "null");

    ASSERT_TRUE(q.execute("UPDATE t SET note = ?2 WHERE k = ?1", "c", std::optional<std::string>("set")));
    EXPECT_EQ(**q.query_one<std::string>("SELECT note FROM t WHERE k = 'c'"), "set");
}

TEST(Queries, EveryFailureCarriesThePrefixOnce) {
    auto db = table_db();
    const storage::Queries q{db, "Failed to write t: "};
    auto prepare_failure = q.query_one<std::string>("SELECT x FROM nowhere");
    ASSERT_FALSE(prepare_failure);
    EXPECT_EQ(prepare_failure.error(), "Failed to write t: no such table: nowhere");

    auto bind_failure = q.execute("SELECT 1 FROM t WHERE k = ?1", "a", "surplus");
    ASSERT_FALSE(bind_failure);
    EXPECT_EQ(bind_failure.error(), "Failed to write t: column index out of range");

    auto step_failure = q.execute("INSERT INTO t VALUES (?1, 2, NULL)", "a");
    ASSERT_FALSE(step_failure);
    EXPECT_EQ(step_failure.error(), "Failed to write t: UNIQUE constraint failed: t.k");
    // Nothing of the failed statement stays bound for the next user of its text.
    ASSERT_TRUE(q.execute("INSERT INTO t VALUES (?1, 2, NULL)", "d"));
}

// --- JSON members ---------------------------------------------------------

TEST(JsonAccess, RequireNonBlankRefusesWithOneMessage) {
    const Json doc = Json::parse(R"({"id":"x","blank":" \u3000\t","number":7,"empty":""})");
    EXPECT_EQ(*require_non_blank(doc, "id"), "x");
    for (const char* name : {"blank", "number", "empty", "missing"}) {
        auto refused = require_non_blank(doc, name);
        ASSERT_FALSE(refused) << name;
        EXPECT_EQ(refused.error(), "ORVANE_INVALID_CONTRACT: '" + std::string(name) + "' must be a non-empty string");
    }
    EXPECT_FALSE(require_non_blank(Json::array({"id"}), "id"));
}

TEST(JsonAccess, LenientReadersReadMissingOrMistypedAsNeutral) {
    const Json doc = Json::parse(R"({"s":"v","n":5,"neg":-1,"f":1.0,"sn":"5"})");
    EXPECT_EQ(members::string_or_empty(doc, "s"), "v");
    EXPECT_EQ(members::string_or_empty(doc, "n"), "");
    EXPECT_EQ(members::string_or_empty(Json("s"), "s"), "");
    EXPECT_EQ(members::uint_or_zero(doc, "n"), 5u);
    EXPECT_EQ(members::uint_or_zero(doc, "neg"), 0u);
    EXPECT_EQ(members::uint_or_zero(doc, "f"), 0u);
    EXPECT_EQ(members::uint_or_zero(doc, "sn"), 0u);
}

TEST(JsonAccess, OptionalPairsCompareStrictly) {
    const Json a = Json::parse(R"({"v":1,"w":"x"})");
    const Json b = Json::parse(R"({"v":1.0,"w":"x"})");
    EXPECT_FALSE(members::optional_pair_equal(a, "v", b, "v"));  // 1 and 1.0 differ
    EXPECT_TRUE(members::optional_pair_equal(a, "w", b, "w"));
    EXPECT_TRUE(members::optional_pair_equal(a, "gone", b, "gone"));
    EXPECT_FALSE(members::optional_pair_equal(a, "w", b, "gone"));
}

// --- parse-once byte types ------------------------------------------------

TEST(ParsedBytes, SignaturesAndDigestsDecodeOnlyAtTheirSize) {
    const std::string digest_hex(kDigestSize * 2, 'a');
    auto digest = parse_digest(digest_hex);
    ASSERT_TRUE(digest);
    EXPECT_EQ((*digest)[0], 0xaa);
    EXPECT_TRUE(parse_digest(std::string(kDigestSize * 2, 'A')));  // either case
    EXPECT_FALSE(parse_digest(digest_hex + "aa"));
    EXPECT_FALSE(parse_digest(digest_hex.substr(2)));
    EXPECT_FALSE(parse_digest(digest_hex.substr(1)));
    EXPECT_FALSE(parse_digest(std::string(kDigestSize * 2, 'g')));

    EXPECT_TRUE(parse_signature(std::string(kSignatureSize * 2, '0')));
    EXPECT_FALSE(parse_signature(std::string(kPublicKeySize * 2, '0')));
}

TEST(ParsedBytes, DecodedOnceVerifiesAsTheHexForms) {
    std::array<std::uint8_t, 32> seed{};
    seed[0] = 7;
    const KeyPair key = KeyPair::from_seed(seed);
    const Digest digest = sha256("message");
    const Signature signature = key.sign(std::span<const std::uint8_t>(digest));
    const std::string key_hex = key.public_key_hex();
    const std::string signature_text = signature_hex(signature);

    auto parsed_key = parse_public_key(key_hex);
    auto parsed_signature = parse_signature(signature_text);
    ASSERT_TRUE(parsed_key && parsed_signature);
    EXPECT_TRUE(verify_raw(*parsed_key, digest, *parsed_signature));
    EXPECT_TRUE(verify_digest_signature(key_hex, sha256_hex("message"), signature_text));
    EXPECT_FALSE(verify_digest_signature(key_hex, sha256_hex("other"), signature_text));
}

}  // namespace
}  // namespace orvane
