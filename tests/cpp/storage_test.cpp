// The statement cache of a connection: reuse must never leak one use's state
// into the next, nested uses of one text must not share a statement, and a
// statement may outlive its connection.
#include <gtest/gtest.h>

#include <string>

#include "storage/sqlite.hpp"

namespace orvane::storage {
namespace {

Connection memory_db() {
    auto db = Connection::open_read_write(":memory:");
    EXPECT_TRUE(db) << db.error();
    EXPECT_TRUE(db->exec("CREATE TABLE t (k TEXT PRIMARY KEY, v INTEGER NOT NULL);"
                         "INSERT INTO t VALUES ('a', 1), ('b', 2), ('c', 3);"));
    return std::move(*db);
}

constexpr std::string_view kByKey = "SELECT v FROM t WHERE k = ?1";
constexpr std::string_view kAll = "SELECT k FROM t ORDER BY k";

TEST(StatementCacheTest, ReusedStatementStartsResetWithoutBindings) {
    Connection db = memory_db();
    sqlite3_stmt* first_handle = nullptr;
    {
        auto stmt = Statement::prepare(db, kByKey);
        ASSERT_TRUE(stmt) << stmt.error();
        first_handle = stmt->handle();
        ASSERT_TRUE(stmt->bind_text(1, "b"));
        ASSERT_TRUE(*stmt->step());
        EXPECT_EQ(stmt->column_int64(0), 2);
        // Released in the middle of its rows: the next user must not see them.
    }
    auto again = Statement::prepare(db, kByKey);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->handle(), first_handle);
    // The old binding is gone: NULL matches no key.
    auto row = again->step();
    ASSERT_TRUE(row);
    EXPECT_FALSE(*row);
}

TEST(StatementCacheTest, NestedUsesOfOneTextGetTheirOwnStatements) {
    Connection db = memory_db();
    auto outer = Statement::prepare(db, kAll);
    ASSERT_TRUE(outer);
    std::string seen;
    for (;;) {
        auto row = outer->step();
        ASSERT_TRUE(row) << row.error();
        if (!*row) break;
        seen += outer->column_text(0);
        // A nested walk of the same text, as a recursive lookup does.
        auto inner = Statement::prepare(db, kAll);
        ASSERT_TRUE(inner);
        EXPECT_NE(inner->handle(), outer->handle());
        int inner_rows = 0;
        while (*inner->step()) ++inner_rows;
        EXPECT_EQ(inner_rows, 3);
    }
    EXPECT_EQ(seen, "abc");
}

TEST(StatementCacheTest, SchemaChangesRecompileKeptStatements) {
    Connection db = memory_db();
    { ASSERT_TRUE(Statement::prepare(db, kByKey)); }
    ASSERT_TRUE(db.exec("DROP TABLE t"));
    // Compiling fails now, and a kept statement reports the same reason when run.
    auto stmt = Statement::prepare(db, kByKey);
    if (stmt) {
        auto row = stmt->step();
        ASSERT_FALSE(row);
        EXPECT_NE(row.error().find("no such table: t"), std::string::npos) << row.error();
    } else {
        EXPECT_NE(stmt.error().find("no such table: t"), std::string::npos) << stmt.error();
    }
    stmt = Statement();
    ASSERT_TRUE(db.exec("CREATE TABLE t (k TEXT PRIMARY KEY, v INTEGER NOT NULL, w TEXT);"
                        "INSERT INTO t VALUES ('z', 26, 'x');"));
    auto fresh = Statement::prepare(db, kByKey);
    ASSERT_TRUE(fresh) << fresh.error();
    ASSERT_TRUE(fresh->bind_text(1, "z"));
    ASSERT_TRUE(*fresh->step());
    EXPECT_EQ(fresh->column_int64(0), 26);
}

TEST(StatementCacheTest, StatementMayOutliveItsConnection) {
    Statement survivor;
    {
        Connection db = memory_db();
        { ASSERT_TRUE(Statement::prepare(db, kAll)); }  // one idle in the cache
        auto stmt = Statement::prepare(db, kAll);
        ASSERT_TRUE(stmt);
        ASSERT_TRUE(*stmt->step());
        survivor = std::move(*stmt);
    }
    // The connection is closed once the last statement is finalized here.
    EXPECT_EQ(survivor.column_text(0), "a");
    survivor = Statement();
}

TEST(StatementCacheTest, FailedPrepareIsNotKept) {
    Connection db = memory_db();
    auto bad = Statement::prepare(db, "SELECT x FROM nowhere");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "no such table: nowhere");
    ASSERT_TRUE(db.exec("CREATE TABLE nowhere (x INTEGER)"));
    auto good = Statement::prepare(db, "SELECT x FROM nowhere");
    EXPECT_TRUE(good) << good.error();
}

}  // namespace
}  // namespace orvane::storage
