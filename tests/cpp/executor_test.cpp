// The executor's connection pool and its SQLite execution store.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <unistd.h>

#include "executor/connection_pool.hpp"
#include "executor/sqlite_execution_store.hpp"

namespace fs = std::filesystem;
using namespace orvane::executor;
using namespace std::chrono_literals;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() /
               ("orvane-executor-" + std::to_string(::getpid()) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const char* name) const { return (path / name).string(); }
};

PoolOptions options(std::string path, std::uint32_t capacity,
                    std::chrono::milliseconds timeout = 2000ms) {
    PoolOptions o;
    o.path = std::move(path);
    o.capacity = capacity;
    o.acquire_timeout = timeout;
    return o;
}

}  // namespace

TEST(ConnectionPool, OpensExactlyItsCapacityAndWaitsWhenAllAreLent) {
    TempDir dir;
    auto pool = ConnectionPool::create(options(dir.file("p.db"), 2, 200ms));
    ASSERT_TRUE(pool) << pool.error();
    EXPECT_EQ((*pool)->open_count(), 2u);
    {
        auto a = (*pool)->acquire();
        auto b = (*pool)->acquire();
        ASSERT_TRUE(a && b);
        auto start = std::chrono::steady_clock::now();
        auto c = (*pool)->acquire();
        ASSERT_FALSE(c);
        EXPECT_EQ(c.error(), "timed out waiting for connection");
        EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
        EXPECT_EQ((*pool)->open_count(), 2u);
    }
    EXPECT_EQ((*pool)->idle_count(), 2u);
}

TEST(ConnectionPool, ConnectionsAreInitializedForWal) {
    TempDir dir;
    auto pool = ConnectionPool::create(options(dir.file("p.db"), 1));
    ASSERT_TRUE(pool);
    auto conn = (*pool)->acquire();
    ASSERT_TRUE(conn);
    auto stmt = orvane::storage::Statement::prepare(**conn, "PRAGMA journal_mode");
    ASSERT_TRUE(stmt);
    ASSERT_TRUE(stmt->step().value_or(false));
    EXPECT_EQ(stmt->column_text(0), "wal");
    auto timeout = orvane::storage::Statement::prepare(**conn, "PRAGMA busy_timeout");
    ASSERT_TRUE(timeout && timeout->step().value_or(false));
    EXPECT_EQ(timeout->column_int64(0), 5000);
}

TEST(ConnectionPool, WaiterGetsTheConnectionAnotherThreadGivesBack) {
    TempDir dir;
    auto pool = ConnectionPool::create(options(dir.file("p.db"), 1, 5000ms));
    ASSERT_TRUE(pool);
    auto held = std::make_optional((*pool)->acquire());
    ASSERT_TRUE(*held);
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        held.reset();
    });
    auto next = (*pool)->acquire();
    releaser.join();
    EXPECT_TRUE(next);
}

TEST(ConnectionPool, UnopenableDatabaseReportsTheLastErrorAndLogsIt) {
    TempDir dir;
    std::mutex m;
    std::vector<std::string> logged;
    auto o = options(dir.file("missing/dir/p.db"), 2, 150ms);
    o.log = [&](std::string_view message) {
        std::lock_guard lock(m);
        logged.emplace_back(message);
    };
    auto pool = ConnectionPool::create(std::move(o));
    ASSERT_FALSE(pool);
    EXPECT_EQ(pool.error(), "timed out waiting for connection: unable to open database file");
    std::lock_guard lock(m);
    ASSERT_FALSE(logged.empty());  // the worker was stopped and joined by now
    EXPECT_EQ(logged.front(), "unable to open database file");
}

TEST(ConnectionPool, ReleasedOnAnotherThreadLeavesNoThreadOrConnection) {
    TempDir dir;
    auto threads = [] {
        return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{});
    };
    const auto before = threads();
    auto pool = ConnectionPool::create(options(dir.file("p.db"), 3));
    ASSERT_TRUE(pool);
    EXPECT_EQ(threads(), before + 1);
    std::unique_ptr<ConnectionPool> owned = std::move(*pool);
    std::thread([p = std::move(owned)]() mutable { p.reset(); }).join();
    EXPECT_EQ(threads(), before);
    // Closing the last connection checkpoints and removes the write-ahead log.
    EXPECT_FALSE(fs::exists(dir.file("p.db-wal")));
}

TEST(ConnectionPool, ConnectionReturnedInsideATransactionIsRolledBack) {
    TempDir dir;
    auto pool = ConnectionPool::create(options(dir.file("p.db"), 1));
    ASSERT_TRUE(pool);
    {
        auto conn = (*pool)->acquire();
        ASSERT_TRUE(conn);
        ASSERT_TRUE((*conn)->exec("CREATE TABLE t (x); BEGIN; INSERT INTO t VALUES (1);"));
    }
    auto conn = (*pool)->acquire();
    ASSERT_TRUE(conn);
    EXPECT_FALSE((*conn)->in_transaction());
    auto count = orvane::storage::Statement::prepare(**conn, "SELECT count(*) FROM t");
    ASSERT_TRUE(count && count->step().value_or(false));
    EXPECT_EQ(count->column_int64(0), 0);
}

class ExecutionStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto pool = ConnectionPool::create(options(dir.file("e.db"), 2));
        ASSERT_TRUE(pool) << pool.error();
        store = std::make_unique<SqliteExecutionStore>(std::move(*pool));
        ASSERT_TRUE(store->initialize_schema());
    }
    TempDir dir;
    std::unique_ptr<SqliteExecutionStore> store;
};

TEST_F(ExecutionStoreTest, SchemaInitializationIsIdempotent) {
    EXPECT_TRUE(store->initialize_schema());
}

TEST_F(ExecutionStoreTest, TransitionsLeaveStartedOnlyOnce) {
    ASSERT_TRUE(store->consume_permit("a1", "x1", "{\"o\":1}"));
    EXPECT_EQ(store->consume_permit("a1", "x2", "{}").error(), "Permit already consumed or action ID re-used");
    EXPECT_EQ(store->consume_permit("a2", "x1", "{}").error(), "Permit already consumed or action ID re-used");

    auto started = store->load_consumption("a1");
    ASSERT_TRUE(started && *started);
    EXPECT_EQ((*started)->status, "STARTED");
    EXPECT_FALSE((*started)->completed_at);
    EXPECT_FALSE((*started)->outcome);
    EXPECT_EQ((*started)->observation_json, "{\"o\":1}");

    ASSERT_TRUE(store->complete_consumption("a1", "SUCCEEDED", "{\"out\":1}", "{\"o\":2}"));
    EXPECT_EQ(store->complete_consumption("a1", "FAILED", "{}", "{}").error(),
              "Consumption not found or already completed");
    EXPECT_EQ(store->mark_consumption_unknown("a1", "{}").error(), "Execution is not in STARTED state");
    EXPECT_EQ(store->complete_consumption("nope", "FAILED", "{}", "{}").error(),
              "Consumption not found or already completed");

    auto done = store->load_consumption("a1");
    ASSERT_TRUE(done && *done);
    EXPECT_EQ((*done)->status, "SUCCEEDED");
    EXPECT_EQ((*done)->outcome, "{\"out\":1}");
    EXPECT_EQ((*done)->observation_json, "{\"o\":2}");
    EXPECT_GE(*(*done)->completed_at, (*done)->started_at);

    auto none = store->load_consumption("nope");
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

TEST_F(ExecutionStoreTest, ListsStartedRowsOldestFirstUpToTheCutoff) {
    ASSERT_TRUE(store->consume_permit("a1", "x1", "{}"));
    ASSERT_TRUE(store->consume_permit("a2", "x2", "{}"));
    ASSERT_TRUE(store->consume_permit("a3", "x3", "{}"));
    ASSERT_TRUE(store->mark_consumption_unknown("a2", "{}"));
    EXPECT_TRUE(store->list_started_before(0).value().empty());
    auto rows = store->list_started_before(UINT64_C(1) << 62);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].authorization_id, "a1");
    EXPECT_EQ((*rows)[1].authorization_id, "a3");
    EXPECT_LE((*rows)[0].started_at, (*rows)[1].started_at);
}
