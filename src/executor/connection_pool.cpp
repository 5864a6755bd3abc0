#include "executor/connection_pool.hpp"

#include <algorithm>
#include <cstdio>

namespace orvane::executor {
namespace {

constexpr char kInitBatch[] =
    "PRAGMA journal_mode = WAL;\n"
    "                 PRAGMA synchronous = FULL;\n"
    "                 PRAGMA busy_timeout = 5000;";

constexpr auto kFirstRetryPause = std::chrono::milliseconds(10);
constexpr auto kLongestRetryPause = std::chrono::milliseconds(1000);

}  // namespace

LogSink stderr_log_sink() {
    auto last = std::make_shared<std::string>();
    auto guard = std::make_shared<std::mutex>();
    return [last, guard](std::string_view message) {
        std::lock_guard lock(*guard);
        if (*last == message) return;
        last->assign(message);
        std::fprintf(stderr, "orvane executor pool: %.*s\n", static_cast<int>(message.size()),
                     message.data());
    };
}

PooledConnection::~PooledConnection() {
    if (pool_ != nullptr) pool_->give_back(std::move(conn_));
}

ConnectionPool::ConnectionPool(PoolOptions options) : options_(std::move(options)) {}

Result<std::unique_ptr<ConnectionPool>> ConnectionPool::create(PoolOptions options) {
    std::unique_ptr<ConnectionPool> pool(new ConnectionPool(std::move(options)));
    pool->worker_ = std::thread([p = pool.get()] { p->maintain(); });
    std::unique_lock lock(pool->mutex_);
    const bool filled = pool->changed_.wait_for(lock, pool->options_.acquire_timeout, [&] {
        return pool->open_ >= pool->options_.capacity;
    });
    if (!filled) {
        std::string text = pool->timeout_text();
        lock.unlock();
        return fail(std::move(text));  // the destructor stops the worker
    }
    lock.unlock();
    return pool;
}

ConnectionPool::~ConnectionPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    idle_.clear();
}

Result<storage::Connection> ConnectionPool::open_connection() const {
    ORVANE_ASSIGN_OR_RETURN(auto conn, storage::Connection::open(
        options_.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX));
    // Lets the journal-mode switch wait for another process's lock instead of
    // failing while several processes create the same database.
    sqlite3_busy_timeout(conn.handle(), 5000);
    ORVANE_TRY(conn.exec(kInitBatch));
    return conn;
}

void ConnectionPool::maintain() {
    auto pause = kFirstRetryPause;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (open_ >= options_.capacity) {
            changed_.wait(lock, [&] { return stopping_ || open_ < options_.capacity; });
            continue;
        }
        lock.unlock();
        auto conn = open_connection();
        if (!conn && options_.log) options_.log(conn.error());
        lock.lock();
        if (conn) {
            idle_.push_back(std::move(*conn));
            ++open_;
            pause = kFirstRetryPause;
            changed_.notify_all();
        } else {
            last_error_ = std::move(conn.error());
            changed_.wait_for(lock, pause, [&] { return stopping_; });
            pause = std::min(pause * 2, kLongestRetryPause);
        }
    }
}

std::string ConnectionPool::timeout_text() const {
    std::string text = "timed out waiting for connection";
    if (last_error_) {
        text += ": ";
        text += *last_error_;
    }
    return text;
}

Result<PooledConnection> ConnectionPool::acquire() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, options_.acquire_timeout, [&] { return !idle_.empty(); }))
        return fail(timeout_text());
    storage::Connection conn = std::move(idle_.back());
    idle_.pop_back();
    return PooledConnection(this, std::move(conn));
}

void ConnectionPool::give_back(storage::Connection conn) {
    // A connection left inside a transaction would poison the next user.
    conn.rollback_if_open();
    std::lock_guard lock(mutex_);
    if (conn && !conn.in_transaction()) {
        idle_.push_back(std::move(conn));
    } else {
        --open_;  // closed below; the worker opens a replacement
    }
    changed_.notify_all();
}

std::uint32_t ConnectionPool::open_count() const {
    std::lock_guard lock(mutex_);
    return open_;
}

std::uint32_t ConnectionPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(idle_.size());
}

}  // namespace orvane::executor
