// A fixed-capacity pool of SQLite connections over the executor database.
//
// The pool opens up to `capacity` connections on a maintenance thread of its
// own and keeps it filled; creation waits until every connection is open.
// Each connection is opened read-write (created when missing, URI names
// allowed, no SQLite-level mutex) and initialized once with the WAL / FULL /
// busy-timeout pragmas; a connection whose initialization fails is closed and
// not admitted. Errors met while opening are handed to the log sink and the
// opening is retried with a growing pause. The maintenance thread touches only
// the pool, never a Python object.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane::executor {

// Where background opening errors go.
using LogSink = std::function<void(std::string_view message)>;

// Writes each distinct background error once to standard error.
LogSink stderr_log_sink();

struct PoolOptions {
    std::string path;
    std::uint32_t capacity = 8;
    std::chrono::milliseconds acquire_timeout{30000};
    LogSink log;  // empty: errors are dropped
};

class ConnectionPool;

// A connection lent by the pool; it goes back when the handle is destroyed.
class PooledConnection {
public:
    PooledConnection(PooledConnection&& other) noexcept
        : pool_(std::exchange(other.pool_, nullptr)), conn_(std::move(other.conn_)) {}
    PooledConnection& operator=(PooledConnection&&) = delete;
    PooledConnection(const PooledConnection&) = delete;
    ~PooledConnection();

    storage::Connection& operator*() { return conn_; }
    storage::Connection* operator->() { return &conn_; }

private:
    friend class ConnectionPool;
    PooledConnection(ConnectionPool* pool, storage::Connection conn)
        : pool_(pool), conn_(std::move(conn)) {}
    ConnectionPool* pool_;
    storage::Connection conn_;
};

class ConnectionPool {
public:
    // Starts the pool and waits until all connections are open; fails with
    // the pool's failure text when the acquisition timeout passes first.
    static Result<std::unique_ptr<ConnectionPool>> create(PoolOptions options);

    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;
    // Stops the maintenance thread and closes every idle connection. All lent
    // connections must have been given back. Safe on any thread.
    ~ConnectionPool();

    // An idle connection, waiting up to the acquisition timeout; the failure
    // is "timed out waiting for connection" plus ": <last error>" when one
    // was met.
    Result<PooledConnection> acquire();

    std::uint32_t capacity() const { return options_.capacity; }
    // Connections currently open (idle and lent).
    std::uint32_t open_count() const;
    std::uint32_t idle_count() const;

private:
    explicit ConnectionPool(PoolOptions options);
    void maintain();
    Result<storage::Connection> open_connection() const;
    void give_back(storage::Connection conn);
    std::string timeout_text() const;  // caller holds mutex_

    friend class PooledConnection;

    PoolOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<storage::Connection> idle_;
    std::uint32_t open_ = 0;
    std::optional<std::string> last_error_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace orvane::executor
