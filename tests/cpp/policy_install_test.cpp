// Policy installation against a real gate database: what an identical
// reinstallation does, installation inside a caller's transaction, and the
// operator's own fallback beside the baseline.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "gate/schema.hpp"
#include "policy/active_policy.hpp"
#include "policy_test_support.hpp"

namespace orvane {
namespace {

using testing_support::policy_spec;
using testing_support::SeedSigner;

class PolicyInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("orvane_policy_install_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db");
        std::filesystem::remove(path_);
        auto db = storage::Connection::open_read_write(path_.string());
        ASSERT_TRUE(db) << db.error();
        db_ = std::move(*db);
        auto schema = initialize_gate_schema(db_);
        ASSERT_TRUE(schema) << schema.error();
    }
    void TearDown() override {
        db_ = storage::Connection();
        std::filesystem::remove(path_);
    }

    std::int64_t count(const char* table) {
        auto stmt = storage::Statement::prepare(db_, std::string("SELECT COUNT(*) FROM ") + table);
        EXPECT_TRUE(stmt);
        EXPECT_TRUE(stmt->step().value_or(false));
        return stmt->column_int64(0);
    }

    std::filesystem::path path_;
    storage::Connection db_;
    SeedSigner signer_{3};
};

TEST_F(PolicyInstallTest, TheSameBytesInstallOnceAndOtherBytesConflict) {
    auto first = install_policy_bundle_text(db_, signer_, policy_spec("v1"), 1000);
    ASSERT_TRUE(first) << first.error();
    auto again = install_policy_bundle_text(db_, signer_, policy_spec("v1"), 1000);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->text, first->text);
    EXPECT_EQ(count("policy_bundles"), 1);
    EXPECT_EQ(count("event_stream"), 1);

    auto later = install_policy_bundle_text(db_, signer_, policy_spec("v1"), 1001);
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error(), "ORVANE_POLICY_VERSION_CONFLICT: 'v1' already identifies different bytes");
    EXPECT_EQ(count("policy_bundles"), 1);
}

TEST_F(PolicyInstallTest, InsideACallersTransactionTheCallerDecides) {
    {
        auto tx = storage::Transaction::begin(db_);
        ASSERT_TRUE(tx) << tx.error();
        auto baseline = ensure_baseline_policy(db_, signer_, 1000);
        ASSERT_TRUE(baseline) << baseline.error();
        EXPECT_TRUE(db_.in_transaction());
    }  // dropped without commit
    EXPECT_EQ(count("policy_bundles"), 0);
    EXPECT_EQ(count("active_policy_attestations"), 0);
    EXPECT_EQ(count("event_stream"), 0);

    auto baseline = ensure_baseline_policy(db_, signer_, 2000);
    ASSERT_TRUE(baseline) << baseline.error();
    EXPECT_FALSE(db_.in_transaction());
    EXPECT_EQ(count("policy_bundles"), 1);
    auto resolved = resolve_active_policy(db_, signer_.identity().public_key, "anyone");
    ASSERT_TRUE(resolved) << resolved.error();
    EXPECT_EQ((*resolved)["policy_version"], "orvane.baseline.v1");
}

TEST_F(PolicyInstallTest, TheOperatorsFallbackStandsInForTheBaseline) {
    // Installed before the gate ever needed the baseline: the baseline is
    // then never installed over it.
    auto fallback = install_policy_bundle_text(db_, signer_, policy_spec("fallback.v1", "*"), 1000);
    ASSERT_TRUE(fallback) << fallback.error();
    for (std::uint64_t now : {2000, 3000}) {
        auto baseline = ensure_baseline_policy(db_, signer_, now);
        ASSERT_TRUE(baseline) << baseline.error();
    }
    EXPECT_EQ(count("policy_bundles"), 1);
    EXPECT_EQ(count("event_stream"), 1);
    auto resolved = resolve_active_policy(db_, signer_.identity().public_key, "anyone");
    ASSERT_TRUE(resolved) << resolved.error();
    EXPECT_EQ((*resolved)["policy_version"], "fallback.v1");
}

}  // namespace
}  // namespace orvane
