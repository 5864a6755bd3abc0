// The gate tables and the migrations of older layouts. A column's presence is
// the only version information: an ALTER that fails with "duplicate column
// name" means the column is already there.
#include "gate/schema.hpp"

#include <string>

#include "events/event_ops.hpp"
#include "log/tree_store.hpp"

namespace orvane {
namespace {

constexpr const char* kRegistrySchema = R"sql(
CREATE TABLE IF NOT EXISTS agents (
    public_key TEXT PRIMARY KEY,
    alias TEXT NOT NULL,
    registered_at INTEGER NOT NULL,
    metadata TEXT NOT NULL DEFAULT '{}',
    status TEXT NOT NULL DEFAULT 'active',
    can_delegate INTEGER NOT NULL DEFAULT 0,
    registered_by TEXT NOT NULL DEFAULT '',
    registration_event_id TEXT NOT NULL DEFAULT '',
    registration_event TEXT NOT NULL DEFAULT '{}',
    registration_signature TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS idx_agents_alias ON agents (alias);
CREATE TABLE IF NOT EXISTS action_authorizations (
    authorization_id TEXT PRIMARY KEY,
    action_id TEXT NOT NULL UNIQUE,
    tenant_id TEXT NOT NULL,
    agent_id TEXT NOT NULL,
    idempotency_key TEXT NOT NULL,
    intent_hash TEXT NOT NULL,
    decision TEXT NOT NULL,
    issued_at INTEGER NOT NULL,
    expires_at INTEGER NOT NULL,
    authorization_json TEXT NOT NULL,
    UNIQUE (tenant_id, agent_id, idempotency_key)
);
CREATE INDEX IF NOT EXISTS idx_action_authorizations_agent
    ON action_authorizations (tenant_id, agent_id, issued_at DESC);
CREATE TABLE IF NOT EXISTS action_outcomes (
    receipt_id TEXT PRIMARY KEY,
    authorization_id TEXT NOT NULL UNIQUE,
    action_id TEXT NOT NULL UNIQUE,
    executor_id TEXT NOT NULL,
    outcome_hash TEXT NOT NULL,
    completed_at INTEGER NOT NULL,
    execution_json TEXT NOT NULL,
    FOREIGN KEY (authorization_id) REFERENCES action_authorizations(authorization_id)
);
CREATE INDEX IF NOT EXISTS idx_action_outcomes_executor
    ON action_outcomes (executor_id, completed_at DESC);
CREATE TABLE IF NOT EXISTS trusted_roots (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    public_key TEXT NOT NULL UNIQUE,
    established_at INTEGER NOT NULL
);
)sql";

constexpr const char* kRegistryColumns[] = {
    "ALTER TABLE agents ADD COLUMN status TEXT NOT NULL DEFAULT 'legacy'",
    "ALTER TABLE agents ADD COLUMN can_delegate INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE agents ADD COLUMN registered_by TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE agents ADD COLUMN registration_event_id TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE agents ADD COLUMN registration_event TEXT NOT NULL DEFAULT '{}'",
    "ALTER TABLE agents ADD COLUMN registration_signature TEXT NOT NULL DEFAULT ''",
};

constexpr const char* kTrustedRootBackfill =
    "INSERT OR IGNORE INTO trusted_roots (id, public_key, established_at) SELECT 1, public_key, "
    "registered_at FROM agents WHERE registered_by = public_key ORDER BY registered_at ASC LIMIT 1";

constexpr const char* kPolicySchema = R"sql(
CREATE TABLE IF NOT EXISTS policy_bundles (
    policy_version TEXT PRIMARY KEY,
    tenant_id TEXT NOT NULL,
    policy_digest TEXT NOT NULL UNIQUE,
    issued_at INTEGER NOT NULL,
    retired_at INTEGER,
    bundle_json TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS idx_policy_bundles_active
    ON policy_bundles (tenant_id, retired_at, issued_at DESC);
CREATE TABLE IF NOT EXISTS identity_lifecycle_events (
    event_id TEXT PRIMARY KEY,
    identity_id TEXT NOT NULL,
    public_key TEXT NOT NULL,
    event_type TEXT NOT NULL,
    effective_at INTEGER NOT NULL,
    event_json TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS idx_identity_events_identity
    ON identity_lifecycle_events (identity_id, effective_at ASC);
CREATE TABLE IF NOT EXISTS revoked_authorizations (
    authorization_id TEXT PRIMARY KEY,
    revoked_at INTEGER NOT NULL,
    reason TEXT NOT NULL,
    identity_event_id TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS active_policy_attestations (
    tenant_id TEXT PRIMARY KEY,
    policy_version TEXT NOT NULL,
    policy_digest TEXT NOT NULL,
    activated_at INTEGER NOT NULL,
    signer_public_key TEXT NOT NULL,
    signature TEXT NOT NULL,
    attestation_json TEXT NOT NULL
);
)sql";

constexpr const char* kIdentityColumns[] = {
    "ALTER TABLE agents ADD COLUMN identity_id TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE agents ADD COLUMN tenant_id TEXT NOT NULL DEFAULT '*'",
    "ALTER TABLE agents ADD COLUMN key_version INTEGER NOT NULL DEFAULT 1",
    "ALTER TABLE agents ADD COLUMN signer_uri TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE agents ADD COLUMN algorithm TEXT NOT NULL DEFAULT 'Ed25519'",
    "ALTER TABLE agents ADD COLUMN valid_from INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE agents ADD COLUMN valid_until INTEGER",
    "ALTER TABLE agents ADD COLUMN revoked_at INTEGER",
};

constexpr const char* kIdentityBackfill =
    "UPDATE agents SET identity_id = CASE WHEN identity_id = '' THEN public_key ELSE identity_id END, "
    "signer_uri = CASE WHEN signer_uri = '' THEN 'local-ed25519://' || public_key ELSE signer_uri END, "
    "valid_from = CASE WHEN valid_from = 0 THEN registered_at ELSE valid_from END";

template <std::size_t N>
Status add_columns(storage::Connection& db, const char* const (&statements)[N], const char* failure) {
    for (const char* sql : statements) {
        auto done = db.exec(sql);
        if (!done && done.error().find("duplicate column name") == std::string::npos)
            return fail(std::string(failure) + done.error());
    }
    return {};
}

}  // namespace

Status initialize_gate_schema(storage::Connection& db) {
    ORVANE_TRY(db.exec(kRegistrySchema).with_context("Failed to initialize B2A schema: "));
    ORVANE_TRY(add_columns(db, kRegistryColumns, "Failed to migrate B2A agent schema: "));
    (void)db.exec(kTrustedRootBackfill);  // a failed backfill leaves the root to the next open
    ORVANE_TRY(db.exec(kPolicySchema).with_context("Failed to initialize Phase 3 schema: "));
    ORVANE_TRY(add_columns(db, kIdentityColumns, "Failed to migrate Phase 3 identity schema: "));
    ORVANE_TRY(db.exec(kIdentityBackfill).with_context("Failed to backfill Phase 3 identity metadata: "));
    ORVANE_TRY(create_event_stream_schema(db));
    return log::create_tree_schema(db);
}

}  // namespace orvane
