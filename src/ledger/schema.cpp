// The decisions table and its indexes, created when the gate is opened.
#include "ledger/ledger_ops.hpp"

namespace orvane {

Status create_decisions_schema(storage::Connection& db) {
    if (auto r = db.exec("CREATE TABLE IF NOT EXISTS decisions ("
                         "id TEXT PRIMARY KEY, "
                         "parent_id TEXT NOT NULL, "
                         "causal_depth INTEGER NOT NULL, "
                         "actor_id TEXT NOT NULL, "
                         "timestamp INTEGER NOT NULL, "
                         "payload TEXT NOT NULL, "
                         "rules_evaluated TEXT NOT NULL, "
                         "signature TEXT NOT NULL)");
        !r)
        return fail("Failed to create decisions table: " + r.error());
    if (auto r = db.exec("CREATE INDEX IF NOT EXISTS idx_parent_id ON decisions (parent_id)"); !r)
        return fail("Failed to create parent index: " + r.error());
    if (auto r = db.exec("CREATE INDEX IF NOT EXISTS idx_causal_depth ON decisions (causal_depth)");
        !r)
        return fail("Failed to create causal depth index: " + r.error());
    return {};
}

}  // namespace orvane
