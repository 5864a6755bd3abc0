#include "executor/gate_checks.hpp"

#include <sys/stat.h>

#include "identity/resolve.hpp"
#include "storage/query.hpp"

namespace orvane::executor {
namespace {

// The identity of the file a path names now, when it names one.
bool file_identity(const std::string& path, dev_t& device, ino_t& inode) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

}  // namespace

Result<storage::Connection*> GateDatabase::connection(const std::string& path) {
    dev_t device = 0;
    ino_t inode = 0;
    const bool found = file_identity(path, device, inode);
    if (reusable_ && found && path == path_ && device == device_ && inode == inode_) return &db_;
    db_ = storage::Connection();
    reusable_ = false;
    ORVANE_ASSIGN_OR_RETURN(auto db,
                            storage::Connection::open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX));
    // The gate may be writing; wait for its lock as the gate's own connections do.
    sqlite3_busy_timeout(db.handle(), 5000);
    db_ = std::move(db);
    // Kept only when the path named the same file before and after the open:
    // a file swapped in between is opened again on the next call.
    dev_t device_after = 0;
    ino_t inode_after = 0;
    reusable_ = found && file_identity(path, device_after, inode_after) && device_after == device &&
                inode_after == inode;
    path_ = path;
    device_ = device;
    inode_ = inode;
    return &db_;
}

Status check_gate_database(GateDatabase& gate_db, const std::string& gate_db_path,
                           std::string_view trusted_gate_id, std::string_view authorization_id,
                           std::string_view agent_id, std::uint64_t now) {
    ORVANE_ASSIGN_OR_RETURN(storage::Connection* const db,
                            gate_db.connection(gate_db_path)
                                .with_context("Failed to open gate DB for revocation check: "));

    ORVANE_ASSIGN_OR_RETURN(const bool revoked,
                            storage::Queries(*db, "Failed to query revoked_authorizations: ")
                                .exists("SELECT EXISTS(SELECT 1 FROM revoked_authorizations WHERE "
                                        "authorization_id = ?1)",
                                        authorization_id));
    if (revoked) return fail("ORVANE_PERMIT_REVOKED: permit has been revoked at gate");

    ORVANE_ASSIGN_OR_RETURN(const bool has_outcome,
                            storage::Queries(*db, "Failed to query action_outcomes: ")
                                .exists("SELECT EXISTS(SELECT 1 FROM action_outcomes WHERE authorization_id = ?1)",
                                        authorization_id));
    if (has_outcome)
        return fail("ORVANE_PERMIT_ALREADY_CONSUMED: permit already has an outcome committed to gate");

    // revoked_authorizations is only an index: its rows can be deleted. The
    // revocation itself is the gate-signed REVOKE that identity resolution
    // replays (its signed type, key and effective time), which the tenant's
    // stream also names, so the agent is resolved under the trusted gate key.
    ORVANE_ASSIGN_OR_RETURN(auto root, check_trusted_root(*db, trusted_gate_id));
    ORVANE_ASSIGN_OR_RETURN(auto agent, resolve_identity(*db, root, agent_id, now));
    if (!agent) return fail("ORVANE_AGENT_NOT_TRUSTED: agent identity does not verify at gate");
    if (agent->revoked_at && *agent->revoked_at <= now)
        return fail("ORVANE_PERMIT_REVOKED: agent identity has been revoked");
    return {};
}

}  // namespace orvane::executor
