// The executor's read-only look into the gate database before it consumes a
// permit: revoked permits, outcomes already committed, and whether the
// permit's agent still verifies and was never revoked.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "storage/sqlite.hpp"

namespace orvane::executor {

// The read-only connection to the gate database that an executor keeps from
// one consumption to the next. Opening a connection and reading the gate's
// schema costs more than the checks themselves, so it is re-used while the
// path still names the same file (same device and inode, looked up on every
// call); when the file was replaced or is gone, the connection is dropped and
// the path opened again, which fails as a first open would. Its statements run
// outside any transaction, so each sees the last committed state, as on a
// fresh connection. Like the gate's own connection, it keeps the file open
// between calls: a gate database is replaced safely only as a whole file with
// its -wal beside it, never under a process that has it open.
class GateDatabase {
public:
    // The connection for `path`; the failure is the one of opening it.
    Result<storage::Connection*> connection(const std::string& path);

private:
    storage::Connection db_;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool reusable_ = false;
};

// Runs the checks in order on the kept connection to the gate database at
// `gate_db_path`. The agent is judged under the executor's trusted gate key,
// as the root every identity must chain back to, at `now`.
Status check_gate_database(GateDatabase& gate_db, const std::string& gate_db_path,
                           std::string_view trusted_gate_id, std::string_view authorization_id,
                           std::string_view agent_id, std::uint64_t now);

}  // namespace orvane::executor
