#include "storage/sqlite.hpp"

#include <functional>
#include <unordered_map>
#include <vector>

#include "primitives/utf8.hpp"

namespace orvane::storage {

namespace {

// Compiling a statement costs more than most of the queries the gate runs, and
// every operation prepares the same few dozen texts again. These bounds keep
// the cache small whatever the callers do.
constexpr std::size_t kMaxTexts = 128;
constexpr std::size_t kMaxIdlePerText = 4;

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

}  // namespace

class StatementCache {
public:
    struct Slot {
        Slot() { idle.reserve(kMaxIdlePerText); }  // giving back never allocates
        std::vector<sqlite3_stmt*> idle;
    };

    StatementCache() = default;
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;
    ~StatementCache() { close(); }

    // Finalizes the idle statements; those still handed out are finalized
    // when they are released.
    void close() {
        for (auto& [text, slot] : slots_)
            for (sqlite3_stmt* stmt : slot->idle) sqlite3_finalize(stmt);
        slots_.clear();
        closed_ = true;
    }

    bool closed() const { return closed_; }

    // An idle statement for the text, or null.
    sqlite3_stmt* take(std::string_view sql, Slot*& slot) {
        auto found = slots_.find(sql);
        if (found == slots_.end()) {
            slot = nullptr;
            return nullptr;
        }
        slot = found->second.get();
        if (slot->idle.empty()) return nullptr;
        sqlite3_stmt* stmt = slot->idle.back();
        slot->idle.pop_back();
        return stmt;
    }

    // The entry a newly compiled statement goes back to; null when the cache
    // is full (the statement is then finalized on release).
    Slot* slot_for(std::string_view sql) {
        if (slots_.size() >= kMaxTexts) return nullptr;
        return slots_.emplace(std::string(sql), std::make_unique<Slot>()).first->second.get();
    }

private:
    std::unordered_map<std::string, std::unique_ptr<Slot>, TextHash, std::equal_to<>> slots_;
    bool closed_ = false;
};

void Connection::close() {
    if (cache_) {
        cache_->close();
        cache_.reset();
    }
    if (db_) sqlite3_close_v2(db_);  // a zombie until borrowed statements are released
    db_ = nullptr;
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
        cache_ = std::move(other.cache_);
    }
    return *this;
}

Connection::~Connection() { close(); }

Result<Connection> Connection::open(const std::string& path, int flags) {
    sqlite3* handle = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string reason = handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
        if (handle) sqlite3_close_v2(handle);
        return fail(std::move(reason));
    }
    return Connection(handle);
}

Result<Connection> Connection::open_read_write(const std::string& path) {
    return open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX);
}

Status Connection::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string reason = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        return fail(std::move(reason));
    }
    return {};
}

std::string Connection::error_message() const { return db_ ? sqlite3_errmsg(db_) : "no connection"; }

bool Connection::in_transaction() const { return db_ && sqlite3_get_autocommit(db_) == 0; }

void Connection::rollback_if_open() {
    if (in_transaction()) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        release();
        stmt_ = std::exchange(other.stmt_, nullptr);
        db_ = other.db_;
        cache_ = std::move(other.cache_);
        slot_ = std::exchange(other.slot_, nullptr);
    }
    return *this;
}

Statement::~Statement() { release(); }

// Back to the connection's cache, reset as finalizing would leave the
// connection (no read held, the statement's error passed to the connection).
void Statement::release() {
    if (stmt_) {
        auto* slot = static_cast<StatementCache::Slot*>(slot_);
        if (cache_ && !cache_->closed() && slot && slot->idle.size() < kMaxIdlePerText) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
            slot->idle.push_back(stmt_);
        } else {
            sqlite3_finalize(stmt_);
        }
        stmt_ = nullptr;
    }
    cache_.reset();
    slot_ = nullptr;
}

Result<Statement> Statement::prepare(const Connection& db, std::string_view sql) {
    Statement st;
    st.db_ = db.handle();
    if (!db.cache_) db.cache_ = std::make_shared<StatementCache>();
    StatementCache::Slot* slot = nullptr;
    st.stmt_ = db.cache_->take(sql, slot);
    if (st.stmt_ == nullptr) {
        if (sqlite3_prepare_v3(st.db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                               &st.stmt_, nullptr) != SQLITE_OK)
            return fail(sqlite3_errmsg(st.db_));
        if (slot == nullptr && st.stmt_ != nullptr) slot = db.cache_->slot_for(sql);
    }
    st.cache_ = db.cache_;
    st.slot_ = slot;
    return st;
}

std::string Statement::error_message() const { return sqlite3_errmsg(db_); }

Status Statement::bind_text(int index, std::string_view text) {
    if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        return fail(error_message());
    return {};
}

Status Statement::bind_int64(int index, std::int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) return fail(error_message());
    return {};
}

Status Statement::bind_null(int index) {
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) return fail(error_message());
    return {};
}

Result<bool> Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return fail(error_message());
}

Status Statement::run() {
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(auto row, step());
        if (!row) return {};
    }
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Statement::column_type(int index) const { return sqlite3_column_type(stmt_, index); }

bool Statement::column_is_null(int index) const { return column_type(index) == SQLITE_NULL; }

std::int64_t Statement::column_int64(int index) const { return sqlite3_column_int64(stmt_, index); }

std::string_view Statement::column_text(int index) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    if (!text) return {};
    return std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index)));
}

namespace {
const char* type_name(int type) {
    switch (type) {
        case SQLITE_INTEGER: return "Integer";
        case SQLITE_FLOAT: return "Real";
        case SQLITE_TEXT: return "Text";
        case SQLITE_BLOB: return "Blob";
        default: return "Null";
    }
}

// "Invalid column type <type> at index: <i>, name: <column>".
std::string column_type_message(sqlite3_stmt* stmt, int index, int type) {
    return "Invalid column type " + std::string(type_name(type)) + " at index: " + std::to_string(index) +
           ", name: " + sqlite3_column_name(stmt, index);
}
}  // namespace

Result<std::string_view> Statement::column_utf8(int index) const {
    const int type = column_type(index);
    if (type != SQLITE_TEXT) return fail(column_type_message(stmt_, index, type));
    return column_text_checked(index);
}

Result<std::string_view> Statement::column_text_checked(int index) const {
    const std::string_view text = column_text(index);
    if (!is_valid_utf8(text))
        return fail("Invalid UTF-8 text at index: " + std::to_string(index) + ", name: " +
                    sqlite3_column_name(stmt_, index));
    return text;
}

Result<std::string> Statement::column_string(int index) const {
    ORVANE_ASSIGN_OR_RETURN(auto text, column_utf8(index));
    return std::string(text);
}

Result<std::int64_t> Statement::column_integer(int index) const {
    const int type = column_type(index);
    if (type != SQLITE_INTEGER) return fail(column_type_message(stmt_, index, type));
    return column_int64(index);
}

Result<std::uint64_t> Statement::column_unsigned(int index) const {
    ORVANE_ASSIGN_OR_RETURN(auto value, column_integer(index));
    if (value < 0)
        return fail("Integer " + std::to_string(value) + " out of range at index " + std::to_string(index));
    return static_cast<std::uint64_t>(value);
}

Result<Transaction> Transaction::begin(Connection& db, const char* begin_sql) {
    ORVANE_TRY(db.exec(begin_sql));
    return Transaction(&db);
}

Transaction::~Transaction() { rollback(); }

Status Transaction::commit() {
    if (!db_) return fail("transaction already finished");
    auto done = db_->exec("COMMIT");
    if (!done) {
        db_->rollback_if_open();
        db_ = nullptr;
        return done;
    }
    db_ = nullptr;
    return {};
}

void Transaction::rollback() {
    if (db_) {
        db_->rollback_if_open();
        db_ = nullptr;
    }
}

}  // namespace orvane::storage
