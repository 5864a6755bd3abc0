#include "executor/sqlite_execution_store.hpp"

#include "primitives/clock.hpp"

namespace orvane::executor {
namespace {

constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS consumed_permits (\n"
    "                authorization_id TEXT PRIMARY KEY,\n"
    "                action_id TEXT NOT NULL UNIQUE,\n"
    "                status TEXT NOT NULL,\n"
    "                started_at INTEGER NOT NULL,\n"
    "                completed_at INTEGER,\n"
    "                outcome TEXT,\n"
    "                observation_json TEXT NOT NULL DEFAULT '{}'\n"
    "             );";
constexpr char kCreateIndex[] =
    "CREATE INDEX IF NOT EXISTS idx_consumed_permits_recovery\n"
    "             ON consumed_permits (status, started_at);";
constexpr char kAddObservationColumn[] =
    "ALTER TABLE consumed_permits ADD COLUMN observation_json TEXT NOT NULL DEFAULT '{}'";

constexpr std::string_view kInsert =
    "INSERT INTO consumed_permits\n"
    "             (authorization_id, action_id, status, started_at, observation_json)\n"
    "             VALUES (?1, ?2, 'STARTED', ?3, ?4)";
constexpr std::string_view kComplete =
    "UPDATE consumed_permits\n"
    "                 SET status = ?1, completed_at = ?2, outcome = ?3, observation_json = ?4\n"
    "                 WHERE authorization_id = ?5 AND status = 'STARTED'";
constexpr std::string_view kMarkUnknown =
    "UPDATE consumed_permits\n"
    "                 SET status = 'UNKNOWN', completed_at = ?1, observation_json = ?2\n"
    "                 WHERE authorization_id = ?3 AND status = 'STARTED'";
constexpr std::string_view kLoad =
    "SELECT authorization_id, action_id, status, started_at, completed_at,\n"
    "                    outcome, observation_json\n"
    "             FROM consumed_permits WHERE authorization_id = ?1";
constexpr std::string_view kListStarted =
    "SELECT authorization_id, action_id, status, started_at, completed_at,\n"
    "                        outcome, observation_json\n"
    "                 FROM consumed_permits\n"
    "                 WHERE status = 'STARTED' AND started_at <= ?1\n"
    "                 ORDER BY started_at";

// The texts of a row reach Python (the execution state, the observations
// signed over them), so a row edited to hold bytes that are not UTF-8 is one
// that cannot be read.
Result<ConsumptionRecord> read_record(const storage::Statement& stmt) {
    ConsumptionRecord record;
    std::string* texts[] = {&record.authorization_id, &record.action_id, &record.status};
    for (int i = 0; i < 3; ++i) {
        auto text = stmt.column_text_checked(i);
        if (!text) return fail(std::move(text.error()));
        *texts[i] = *text;
    }
    auto started = stmt.column_unsigned(3);
    if (!started) return fail(std::move(started.error()));
    record.started_at = *started;
    if (!stmt.column_is_null(4)) {
        auto completed = stmt.column_unsigned(4);
        if (!completed) return fail(std::move(completed.error()));
        record.completed_at = *completed;
    }
    if (!stmt.column_is_null(5)) record.outcome = std::string(stmt.column_text(5));
    record.observation_json = std::string(stmt.column_text(6));  // both parsed before use
    return record;
}

int changed_rows(storage::Connection& db) { return sqlite3_changes(db.handle()); }

// Every write takes the write lock as it begins: a wait for another process's
// lock then ends here, named, instead of as a bare "database is locked" from
// the middle of the statement, and a transaction that reads before it writes
// can never find its snapshot outdated when it comes to write.
Result<storage::Transaction> begin_write(storage::Connection& db, std::string_view what) {
    auto tx = storage::Transaction::begin(db, "BEGIN IMMEDIATE");
    if (!tx) return fail("Failed to begin " + std::string(what) + " transaction: " + tx.error());
    return tx;
}

}  // namespace

Result<PooledConnection> SqliteExecutionStore::connection() {
    auto conn = pool_->acquire();
    if (!conn) return fail("Failed to acquire executor SQLite connection: " + conn.error());
    return conn;
}

Status SqliteExecutionStore::initialize_schema() {
    auto conn = connection();
    if (!conn) return fail(std::move(conn.error()));
    storage::Connection& db = **conn;
    ORVANE_TRY(db.exec(kCreateTable));
    ORVANE_TRY(db.exec(kCreateIndex));
    auto added = db.exec(kAddObservationColumn);
    if (!added && added.error().find("duplicate column name") == std::string::npos)
        return fail(std::move(added.error()));
    return {};
}

Status SqliteExecutionStore::consume_permit(std::string_view authorization_id,
                                            std::string_view action_id,
                                            std::string_view observation) {
    auto conn = connection();
    if (!conn) return fail(std::move(conn.error()));
    storage::Connection& db = **conn;
    auto tx = begin_write(db, "permit consumption");
    if (!tx) return fail(std::move(tx.error()));
    auto started_at = now_micros();
    if (!started_at) return fail(std::move(started_at.error()));
    auto stmt = storage::Statement::prepare(db, kInsert);
    if (!stmt) return fail(std::move(stmt.error()));
    ORVANE_TRY(stmt->bind_text(1, authorization_id));
    ORVANE_TRY(stmt->bind_text(2, action_id));
    ORVANE_TRY(stmt->bind_uint64(3, *started_at));
    ORVANE_TRY(stmt->bind_text(4, observation));
    if (auto ran = stmt->run(); !ran) {
        if (ran.error().find("UNIQUE constraint failed") != std::string::npos)
            return fail("Permit already consumed or action ID re-used");
        return fail(std::move(ran.error()));
    }
    return tx->commit();
}

Status SqliteExecutionStore::complete_consumption(std::string_view authorization_id,
                                                  std::string_view status,
                                                  std::string_view outcome,
                                                  std::string_view observation) {
    auto conn = connection();
    if (!conn) return fail(std::move(conn.error()));
    storage::Connection& db = **conn;
    auto tx = begin_write(db, "execution completion");
    if (!tx) return fail(std::move(tx.error()));
    auto completed_at = now_micros();
    if (!completed_at) return fail(std::move(completed_at.error()));
    auto stmt = storage::Statement::prepare(db, kComplete);
    if (!stmt) return fail(std::move(stmt.error()));
    ORVANE_TRY(stmt->bind_text(1, status));
    ORVANE_TRY(stmt->bind_uint64(2, *completed_at));
    ORVANE_TRY(stmt->bind_text(3, outcome));
    ORVANE_TRY(stmt->bind_text(4, observation));
    ORVANE_TRY(stmt->bind_text(5, authorization_id));
    ORVANE_TRY(stmt->run());
    if (changed_rows(db) == 0) return fail("Consumption not found or already completed");
    return tx->commit();
}

Status SqliteExecutionStore::mark_consumption_unknown(std::string_view authorization_id,
                                                      std::string_view observation) {
    auto conn = connection();
    if (!conn) return fail(std::move(conn.error()));
    storage::Connection& db = **conn;
    auto tx = begin_write(db, "execution update");
    if (!tx) return fail(std::move(tx.error()));
    auto completed_at = now_micros();
    if (!completed_at) return fail(std::move(completed_at.error()));
    auto stmt = storage::Statement::prepare(db, kMarkUnknown);
    if (!stmt) return fail(std::move(stmt.error()));
    ORVANE_TRY(stmt->bind_uint64(1, *completed_at));
    ORVANE_TRY(stmt->bind_text(2, observation));
    ORVANE_TRY(stmt->bind_text(3, authorization_id));
    ORVANE_TRY(stmt->run());
    if (changed_rows(db) == 0) return fail("Execution is not in STARTED state");
    return tx->commit();
}

Result<std::optional<ConsumptionRecord>> SqliteExecutionStore::load_consumption(
    std::string_view authorization_id) {
    auto conn = connection();
    if (!conn) return fail(std::move(conn.error()));
    auto stmt = storage::Statement::prepare(**conn, kLoad);
    if (!stmt) return fail(std::move(stmt.error()));
    ORVANE_TRY(stmt->bind_text(1, authorization_id));
    auto row = stmt->step();
    if (!row) return fail(std::move(row.error()));
    if (!*row) return std::optional<ConsumptionRecord>{};
    auto record = read_record(*stmt);
    if (!record) return fail(std::move(record.error()));
    return std::optional<ConsumptionRecord>(std::move(*record));
}

Result<std::vector<ConsumptionRecord>> SqliteExecutionStore::list_started_before(
    std::uint64_t cutoff) {
    auto conn = connection();
    if (!conn) return fail(std::move(conn.error()));
    auto stmt = storage::Statement::prepare(**conn, kListStarted);
    if (!stmt) return fail(std::move(stmt.error()));
    ORVANE_TRY(stmt->bind_uint64(1, cutoff));
    std::vector<ConsumptionRecord> records;
    for (;;) {
        auto row = stmt->step();
        if (!row) return fail(std::move(row.error()));
        if (!*row) break;
        auto record = read_record(*stmt);
        if (!record) return fail(std::move(record.error()));
        records.push_back(std::move(*record));
    }
    return records;
}

}  // namespace orvane::executor
