// The decisions table and its indexes, created on every open of the gate.
#include "ledger/ledger_ops.hpp"

namespace orvane {

Status create_decisions_schema(storage::Connection& db) {
    ORVANE_TRY(db.exec("CREATE TABLE IF NOT EXISTS decisions (id TEXT PRIMARY KEY, parent_id TEXT NOT NULL, "
                            "causal_depth INTEGER NOT NULL, actor_id TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                            "payload TEXT NOT NULL, rules_evaluated TEXT NOT NULL, signature TEXT NOT NULL)").with_context("Failed to create decisions table: "));
    ORVANE_TRY(db.exec("CREATE INDEX IF NOT EXISTS idx_parent_id ON decisions (parent_id)")
                   .with_context("Failed to create parent index: "));
    ORVANE_TRY(db.exec("CREATE INDEX IF NOT EXISTS idx_causal_depth ON decisions (causal_depth)")
                   .with_context("Failed to create causal depth index: "));
    return {};
}

}  // namespace orvane
