// Appending to the event stream against a real SQLite file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "events/event_ops.hpp"
#include "events/event_stream.hpp"
#include "events/stored_event.hpp"
#include "events/stream_audit.hpp"
#include "log/tree_store.hpp"
#include "primitives/digest.hpp"

namespace orvane {
namespace {

class EventStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("orvane_events_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db");
        std::filesystem::remove(path_);
        auto db = storage::Connection::open_read_write(path_.string());
        ASSERT_TRUE(db) << db.error();
        db_ = std::move(*db);
        auto schema = create_event_stream_schema(db_);
        ASSERT_TRUE(schema) << schema.error();
        auto trees = log::create_tree_schema(db_);
        ASSERT_TRUE(trees) << trees.error();
    }
    void TearDown() override {
        db_ = storage::Connection();
        std::filesystem::remove(path_);
    }

    Result<Json> append(std::string_view tenant, std::string_view id, std::string_view payload = "{}",
                        std::uint64_t timestamp = 1000) {
        auto tx = storage::Transaction::begin(db_);
        if (!tx) return fail(tx.error());
        auto event = append_event(db_, tenant, "action.authorized", id, payload, timestamp);
        if (!event) return event;
        if (auto done = tx->commit(); !done) return fail(done.error());
        return event;
    }

    std::int64_t count(std::string_view tenant) {
        auto stmt = storage::Statement::prepare(db_, "SELECT COUNT(*) FROM event_stream WHERE tenant_id = ?1");
        EXPECT_TRUE(stmt);
        EXPECT_TRUE(stmt->bind_text(1, tenant));
        EXPECT_TRUE(stmt->step().value_or(false));
        return stmt->column_int64(0);
    }

    std::filesystem::path path_;
    storage::Connection db_;
};

TEST_F(EventStreamTest, ChainsEventsPerTenant) {
    auto first = append("acme", "e1", "payload one", 42);
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ((*first)["sequence_number"], 1u);
    EXPECT_EQ((*first)["prev_event_hash"], std::string(64, '0'));
    EXPECT_EQ((*first)["payload_hash"], sha256_hex("payload one"));
    EXPECT_EQ((*first)["timestamp"], 42u);
    EXPECT_EQ((*first)["schema_version"], "orvane.event-stream-event.v1");

    Json body = *first;
    body.erase("event_digest");
    EXPECT_EQ((*first)["event_digest"], canonical_digest(body));

    auto second = append("acme", "e2");
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ((*second)["sequence_number"], 2u);
    EXPECT_EQ((*second)["prev_event_hash"], (*first)["event_digest"]);

    auto other = append("globex", "g1");
    ASSERT_TRUE(other) << other.error();
    EXPECT_EQ((*other)["sequence_number"], 1u);
    EXPECT_EQ((*other)["prev_event_hash"], std::string(64, '0'));
}

TEST_F(EventStreamTest, StoredJsonIsTheCanonicalEvent) {
    auto event = append("acme", "e1");
    ASSERT_TRUE(event) << event.error();
    auto stmt = storage::Statement::prepare(db_, "SELECT event_json FROM event_stream");
    ASSERT_TRUE(stmt);
    ASSERT_TRUE(stmt->step().value_or(false));
    EXPECT_EQ(stmt->column_text(0), canonical_json(*event));
}

TEST_F(EventStreamTest, DuplicateEventIdInOneTenantIsRefused) {
    ASSERT_TRUE(append("acme", "same"));
    auto again = append("acme", "same");
    ASSERT_FALSE(again);
    EXPECT_TRUE(again.error().starts_with("Failed to insert event into stream: ")) << again.error();
    EXPECT_EQ(count("acme"), 1);

    // The head is unchanged: the next event still follows the first.
    auto next = append("acme", "other");
    ASSERT_TRUE(next) << next.error();
    EXPECT_EQ((*next)["sequence_number"], 2u);
}

TEST_F(EventStreamTest, SameEventIdUnderTwoTenantsIsAccepted) {
    ASSERT_TRUE(append("acme", "shared"));
    auto other = append("globex", "shared");
    ASSERT_TRUE(other) << other.error();
    EXPECT_EQ(count("acme"), 1);
    EXPECT_EQ(count("globex"), 1);
}

TEST_F(EventStreamTest, MissingTableFailsTheHeadQuery) {
    ASSERT_TRUE(db_.exec("DROP TABLE event_stream"));
    auto event = append_event(db_, "acme", "action.authorized", "e1", "{}", 1);
    ASSERT_FALSE(event);
    EXPECT_TRUE(event.error().starts_with("Failed to query latest event stream state: ")) << event.error();
}

// The stored document is checked against text built from the columns, so the
// two writers must agree on every escape the canonical writer makes.
TEST_F(EventStreamTest, StoredRowsAreReadBackOnlyWhenTheyAgreeWithTheirDocuments) {
    const std::string tenant = "ac\"me\\\n\x01\xc3\xa9";
    for (std::string id : {"e1", "tab\there", "\xe2\x82\xac"}) ASSERT_TRUE(append(tenant, id, id, 7));
    auto tx = storage::Transaction::begin(db_);
    ASSERT_TRUE(tx);
    ASSERT_TRUE(append_event(db_, tenant, "policy.published", "p1", "bundle", UINT64_C(1) << 40));
    ASSERT_TRUE(append_event(db_, tenant, "action.executed", "x1", "done", 9));
    ASSERT_TRUE(tx->commit());

    auto latest = latest_event_of_type(db_, tenant, "policy.published");
    ASSERT_TRUE(latest) << latest.error();
    ASSERT_TRUE(latest->has_value());
    EXPECT_EQ((*latest)->sequence_number, 4u);
    EXPECT_EQ((*latest)->event_id, "p1");
    auto none = latest_event_of_type(db_, "globex", "policy.published");
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
    auto summary = audit_stream(db_, tenant, std::nullopt);
    ASSERT_TRUE(summary) << summary.error();
    EXPECT_EQ(summary->total_events, 5u);

    // Any column that disagrees with the stored document is refused.
    for (const char* column : {"event_id", "payload_hash", "timestamp"}) {
        ASSERT_TRUE(db_.exec(("SAVEPOINT t; UPDATE event_stream SET " + std::string(column) +
                              " = 1 WHERE sequence_number = 4").c_str()));
        auto refused = latest_event_of_type(db_, tenant, "policy.published");
        ASSERT_FALSE(refused) << column;
        EXPECT_TRUE(refused.error().starts_with("ORVANE_EVENT_STREAM_INVALID: event 4 of tenant ")) << refused.error();
        auto audited = audit_stream(db_, tenant, std::nullopt);
        ASSERT_FALSE(audited) << column;
        EXPECT_TRUE(audited.error().ends_with("does not match its stored document")) << audited.error();
        ASSERT_TRUE(db_.exec("ROLLBACK TO t; RELEASE t"));
    }
}

TEST_F(EventStreamTest, SchemaBatchIsIdempotent) {
    ASSERT_TRUE(append("acme", "e1"));
    auto again = create_event_stream_schema(db_);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(count("acme"), 1);
}

}  // namespace
}  // namespace orvane
