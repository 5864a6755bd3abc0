#include "executor/sqlite_execution_store.hpp"

#include "primitives/clock.hpp"
#include "storage/query.hpp"

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
        ORVANE_ASSIGN_OR_RETURN(auto text, stmt.column_text_checked(i));
        *texts[i] = text;
    }
    ORVANE_ASSIGN_OR_RETURN(record.started_at, stmt.column_unsigned(3));
    if (!stmt.column_is_null(4)) {
        ORVANE_ASSIGN_OR_RETURN(record.completed_at, stmt.column_unsigned(4));
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
    return storage::Transaction::begin(db, "BEGIN IMMEDIATE")
        .with_context("Failed to begin " + std::string(what) + " transaction: ");
}

}  // namespace

Result<PooledConnection> SqliteExecutionStore::connection() {
    return pool_->acquire().with_context("Failed to acquire executor SQLite connection: ");
}

Status SqliteExecutionStore::initialize_schema() {
    ORVANE_ASSIGN_OR_RETURN(auto conn, connection());
    storage::Connection& db = *conn;
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
    ORVANE_ASSIGN_OR_RETURN(auto conn, connection());
    storage::Connection& db = *conn;
    ORVANE_ASSIGN_OR_RETURN(auto tx, begin_write(db, "permit consumption"));
    ORVANE_ASSIGN_OR_RETURN(auto started_at, now_micros());
    ORVANE_ASSIGN_OR_RETURN(auto stmt,
                            storage::Queries(db).prepare(kInsert, authorization_id, action_id, started_at, observation));
    if (auto ran = stmt.run(); !ran) {
        if (ran.error().find("UNIQUE constraint failed") != std::string::npos)
            return fail("Permit already consumed or action ID re-used");
        return fail(std::move(ran.error()));
    }
    return tx.commit();
}

Status SqliteExecutionStore::complete_consumption(std::string_view authorization_id,
                                                  std::string_view status,
                                                  std::string_view outcome,
                                                  std::string_view observation) {
    ORVANE_ASSIGN_OR_RETURN(auto conn, connection());
    storage::Connection& db = *conn;
    ORVANE_ASSIGN_OR_RETURN(auto tx, begin_write(db, "execution completion"));
    ORVANE_ASSIGN_OR_RETURN(auto completed_at, now_micros());
    ORVANE_TRY(storage::Queries(db).execute(kComplete, status, completed_at, outcome, observation, authorization_id));
    if (changed_rows(db) == 0) return fail("Consumption not found or already completed");
    return tx.commit();
}

Status SqliteExecutionStore::mark_consumption_unknown(std::string_view authorization_id,
                                                      std::string_view observation) {
    ORVANE_ASSIGN_OR_RETURN(auto conn, connection());
    storage::Connection& db = *conn;
    ORVANE_ASSIGN_OR_RETURN(auto tx, begin_write(db, "execution update"));
    ORVANE_ASSIGN_OR_RETURN(auto completed_at, now_micros());
    ORVANE_TRY(storage::Queries(db).execute(kMarkUnknown, completed_at, observation, authorization_id));
    if (changed_rows(db) == 0) return fail("Execution is not in STARTED state");
    return tx.commit();
}

Result<std::optional<ConsumptionRecord>> SqliteExecutionStore::load_consumption(
    std::string_view authorization_id) {
    ORVANE_ASSIGN_OR_RETURN(auto conn, connection());
    ORVANE_ASSIGN_OR_RETURN(auto stmt, storage::Queries(*conn).prepare(kLoad, authorization_id));
    ORVANE_ASSIGN_OR_RETURN(const bool row, stmt.step());
    if (!row) return std::optional<ConsumptionRecord>{};
    ORVANE_ASSIGN_OR_RETURN(ConsumptionRecord record, read_record(stmt));
    return std::optional<ConsumptionRecord>(std::move(record));
}

Result<std::vector<ConsumptionRecord>> SqliteExecutionStore::list_started_before(
    std::uint64_t cutoff) {
    ORVANE_ASSIGN_OR_RETURN(auto conn, connection());
    ORVANE_ASSIGN_OR_RETURN(auto stmt, storage::Queries(*conn).prepare(kListStarted, cutoff));
    std::vector<ConsumptionRecord> records;
    for (;;) {
        ORVANE_ASSIGN_OR_RETURN(const bool row, stmt.step());
        if (!row) break;
        ORVANE_ASSIGN_OR_RETURN(ConsumptionRecord record, read_record(stmt));
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace orvane::executor
