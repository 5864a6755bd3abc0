// The decisions table and its indexes, created on every open of the gate.
#include "ledger/ledger_ops.hpp"

namespace orvane {

Status create_decisions_schema(storage::Connection& db) {
    if (auto done = db.exec("CREATE TABLE IF NOT EXISTS decisions (id TEXT PRIMARY KEY, parent_id TEXT NOT NULL, "
                            "causal_depth INTEGER NOT NULL, actor_id TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                            "payload TEXT NOT NULL, rules_evaluated TEXT NOT NULL, signature TEXT NOT NULL)");
        !done)
        return fail("Failed to create decisions table: " + done.error());
    if (auto done = db.exec("CREATE INDEX IF NOT EXISTS idx_parent_id ON decisions (parent_id)"); !done)
        return fail("Failed to create parent index: " + done.error());
    if (auto done = db.exec("CREATE INDEX IF NOT EXISTS idx_causal_depth ON decisions (causal_depth)"); !done)
        return fail("Failed to create causal depth index: " + done.error());
    return {};
}

}  // namespace orvane
