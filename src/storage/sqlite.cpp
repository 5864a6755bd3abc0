#include "storage/sqlite.hpp"

namespace orvane::storage {

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        if (db_) sqlite3_close_v2(db_);
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

Connection::~Connection() {
    if (db_) sqlite3_close_v2(db_);
}

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
        if (stmt_) sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        db_ = other.db_;
    }
    return *this;
}

Statement::~Statement() {
    if (stmt_) sqlite3_finalize(stmt_);
}

Result<Statement> Statement::prepare(const Connection& db, std::string_view sql) {
    Statement st;
    st.db_ = db.handle();
    if (sqlite3_prepare_v2(st.db_, sql.data(), static_cast<int>(sql.size()), &st.stmt_, nullptr) != SQLITE_OK)
        return fail(sqlite3_errmsg(st.db_));
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
        auto row = step();
        if (!row) return fail(std::move(row.error()));
        if (!*row) return {};
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
}  // namespace

Result<std::string> Statement::column_string(int index) const {
    const int type = column_type(index);
    if (type != SQLITE_TEXT)
        return fail("Invalid column type " + std::string(type_name(type)) + " at index: " +
                    std::to_string(index) + ", name: " + sqlite3_column_name(stmt_, index));
    return std::string(column_text(index));
}

Result<std::int64_t> Statement::column_integer(int index) const {
    const int type = column_type(index);
    if (type != SQLITE_INTEGER)
        return fail("Invalid column type " + std::string(type_name(type)) + " at index: " +
                    std::to_string(index) + ", name: " + sqlite3_column_name(stmt_, index));
    return column_int64(index);
}

Result<std::uint64_t> Statement::column_unsigned(int index) const {
    auto value = column_integer(index);
    if (!value) return fail(std::move(value.error()));
    if (*value < 0)
        return fail("Integer " + std::to_string(*value) + " out of range at index " + std::to_string(index));
    return static_cast<std::uint64_t>(*value);
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
