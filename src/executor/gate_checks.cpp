#include "executor/gate_checks.hpp"

#include "identity/resolve.hpp"
#include "storage/sqlite.hpp"

namespace orvane::executor {
namespace {

// Runs a one-parameter EXISTS query; failures carry `failure_prefix`.
Result<bool> exists(const storage::Connection& db, std::string_view sql, std::string_view value,
                    std::string_view failure_prefix) {
    auto prefixed = [&](std::string message) { return fail(std::string(failure_prefix) + message); };
    auto stmt = storage::Statement::prepare(db, sql);
    if (!stmt) return prefixed(std::move(stmt.error()));
    if (auto bound = stmt->bind_text(1, value); !bound) return prefixed(std::move(bound.error()));
    auto row = stmt->step();
    if (!row) return prefixed(std::move(row.error()));
    return *row && stmt->column_int64(0) != 0;
}

}  // namespace

Status check_gate_database(const std::string& gate_db_path, std::string_view trusted_gate_id,
                           std::string_view authorization_id, std::string_view agent_id,
                           std::uint64_t now) {
    auto db = storage::Connection::open(gate_db_path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
    if (!db) return fail("Failed to open gate DB for revocation check: " + db.error());
    // The gate may be writing; wait for its lock as the gate's own connections do.
    sqlite3_busy_timeout(db->handle(), 5000);

    auto revoked = exists(*db,
                          "SELECT EXISTS(SELECT 1 FROM revoked_authorizations WHERE authorization_id = ?1)",
                          authorization_id, "Failed to query revoked_authorizations: ");
    if (!revoked) return fail(std::move(revoked.error()));
    if (*revoked) return fail("ORVANE_PERMIT_REVOKED: permit has been revoked at gate");

    auto has_outcome = exists(*db,
                              "SELECT EXISTS(SELECT 1 FROM action_outcomes WHERE authorization_id = ?1)",
                              authorization_id, "Failed to query action_outcomes: ");
    if (!has_outcome) return fail(std::move(has_outcome.error()));
    if (*has_outcome)
        return fail("ORVANE_PERMIT_ALREADY_CONSUMED: permit already has an outcome committed to gate");

    // revoked_authorizations is only an index: its rows can be deleted. The
    // revocation itself is the gate-signed REVOKE that identity resolution
    // replays (its signed type, key and effective time), which the tenant's
    // stream also names, so the agent is resolved under the trusted gate key.
    auto root = check_trusted_root(*db, trusted_gate_id);
    if (!root) return fail(std::move(root.error()));
    auto agent = resolve_identity(*db, *root, agent_id, now);
    if (!agent) return fail(std::move(agent.error()));
    if (!*agent) return fail("ORVANE_AGENT_NOT_TRUSTED: agent identity does not verify at gate");
    if ((*agent)->revoked_at && *(*agent)->revoked_at <= now)
        return fail("ORVANE_PERMIT_REVOKED: agent identity has been revoked");
    return {};
}

}  // namespace orvane::executor
