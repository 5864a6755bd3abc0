// Thin RAII wrapper over the SQLite C API: a connection, a prepared statement
// and a write transaction that rolls back unless committed.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.hpp"

namespace orvane::storage {

// The prepared statements of one connection, kept for reuse (see Statement).
class StatementCache;

class Connection {
public:
    Connection() = default;
    explicit Connection(sqlite3* handle) : db_(handle) {}
    Connection(Connection&& other) noexcept
        : db_(std::exchange(other.db_, nullptr)), cache_(std::move(other.cache_)) {}
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Opens with the given flags; the failure is SQLite's error text alone.
    static Result<Connection> open(const std::string& path, int flags);
    // The gate's flags: READWRITE | CREATE | URI | NOMUTEX.
    static Result<Connection> open_read_write(const std::string& path);

    sqlite3* handle() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }

    // Runs one or more statements; the failure is SQLite's error text alone.
    Status exec(const char* sql);
    std::string error_message() const;
    bool in_transaction() const;
    // Issues "ROLLBACK" when a transaction is open; its own failure is ignored.
    void rollback_if_open();

private:
    friend class Statement;
    void close();

    sqlite3* db_ = nullptr;
    // Created by the first prepare; shared with the statements borrowed from
    // it, which may outlive the connection.
    mutable std::shared_ptr<StatementCache> cache_;
};

// A prepared statement. Statements are kept per connection: preparing the
// same SQL text again on the same connection reuses an idle compiled
// statement (reset, bindings cleared) instead of compiling it anew, and
// releasing a statement hands it back. SQLite recompiles a kept statement by
// itself when the schema has changed. A text that is still in use (a query
// running while a nested call prepares the same text) gets a second
// statement of its own.
class Statement {
public:
    Statement() = default;
    Statement(Statement&& other) noexcept
        : stmt_(std::exchange(other.stmt_, nullptr)), db_(other.db_),
          cache_(std::move(other.cache_)), slot_(std::exchange(other.slot_, nullptr)) {}
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    // The failure is SQLite's error text alone; callers add their own prefix.
    static Result<Statement> prepare(const Connection& db, std::string_view sql);

    // Bind helpers; the failure is SQLite's error text.
    Status bind_text(int index, std::string_view text);
    Status bind_int64(int index, std::int64_t value);
    Status bind_null(int index);
    // Unsigned values above INT64_MAX are stored as their two's complement
    // image, which is how SQLite keeps a 64-bit integer.
    Status bind_uint64(int index, std::uint64_t value) {
        return bind_int64(index, static_cast<std::int64_t>(value));
    }

    // true: a row is available; false: done. Failure: SQLite's error text.
    Result<bool> step();
    // Runs a statement that returns no rows to its end.
    Status run();
    void reset();

    int column_type(int index) const;
    bool column_is_null(int index) const;
    std::int64_t column_int64(int index) const;
    // Text of a column; empty for NULL. Valid until the next step or reset.
    std::string_view column_text(int index) const;
    // The same, refused unless it is valid UTF-8 (text that reaches Python).
    Result<std::string_view> column_text_checked(int index) const;
    // Strict readers: the column must hold that type (NULL refused), and text
    // must be valid UTF-8 (an edited row may hold any bytes).
    Result<std::string_view> column_utf8(int index) const;
    Result<std::string> column_string(int index) const;
    Result<std::int64_t> column_integer(int index) const;
    // A non-negative integer column, for microsecond times and counts.
    Result<std::uint64_t> column_unsigned(int index) const;

    sqlite3_stmt* handle() const { return stmt_; }

private:
    std::string error_message() const;
    void release();

    sqlite3_stmt* stmt_ = nullptr;
    sqlite3* db_ = nullptr;
    std::shared_ptr<StatementCache> cache_;  // where the statement goes back to
    void* slot_ = nullptr;                   // its text's entry in the cache
};

// "BEGIN IMMEDIATE" ... "COMMIT"; rolls back on destruction unless committed.
class Transaction {
public:
    // Opens the transaction with `begin_sql`; the failure is SQLite's text.
    static Result<Transaction> begin(Connection& db, const char* begin_sql = "BEGIN IMMEDIATE");
    Transaction(Transaction&& other) noexcept
        : db_(std::exchange(other.db_, nullptr)) {}
    Transaction& operator=(Transaction&&) = delete;
    Transaction(const Transaction&) = delete;
    ~Transaction();

    // "COMMIT"; on failure the transaction is rolled back when still open and
    // SQLite's error text is returned.
    Status commit();
    void rollback();

private:
    explicit Transaction(Connection* db) : db_(db) {}
    Connection* db_ = nullptr;
};

}  // namespace orvane::storage
