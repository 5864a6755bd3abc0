// Key rotation and revocation: both decided and signed by the gate, both
// leave a signed lifecycle event "orvane.identity-lifecycle-event.v1" that
// identity resolution replays, and both mirror it into the identity's tenant
// stream ("identity.rotated", "identity.revoked") so that deleting the event
// row cannot undo them. All checks and signatures happen before the one write
// transaction.
#include <string>

#include "identity/gate_authority.hpp"
#include "identity/identity_ops.hpp"
#include "identity/registration_event.hpp"
#include "identity/resolve.hpp"
#include "events/event_stream.hpp"
#include "identity/text.hpp"
#include "primitives/clock.hpp"
#include "primitives/json.hpp"
#include "primitives/keys.hpp"

namespace orvane {
namespace {

Json lifecycle_event(std::string_view type, const ResolvedIdentity& identity, std::string_view public_key,
                     std::uint64_t effective_at, const SignerIdentity& gate) {
    Json event = Json::object();
    event["schema_version"] = "orvane.identity-lifecycle-event.v1";
    event["event_type"] = type;
    event["identity_id"] = identity.identity_id;
    event["tenant_id"] = identity.tenant_id;
    event["public_key"] = public_key;
    event["effective_at"] = effective_at;
    event["authorized_by"] = gate.public_key;
    event["signer"] = Json{{"signer_uri", gate.signer_uri},
                           {"key_version", gate.key_version},
                           {"algorithm", gate.algorithm},
                           {"public_key", gate.public_key}};
    return event;
}

Json envelope(const SignedDocument& event) {
    return Json{{"event", event.document}, {"event_id", event.digest}, {"signature", event.signature}};
}

// Resolves `key` now and requires an active identity, else `inactive`.
Result<ResolvedIdentity> active_identity(Gate& gate, const TrustedRoot& root, std::string_view key,
                                         std::uint64_t now, const char* inactive) {
    auto resolved = resolve_identity(gate.db, root, key, now);
    if (!resolved) return fail(std::move(resolved.error()));
    if (!*resolved || !(*resolved)->active) return fail(inactive);
    return std::move(**resolved);
}

Status insert_lifecycle_event(storage::Connection& db, const char* sql, const SignedDocument& event,
                              const ResolvedIdentity& identity, std::string_view public_key,
                              std::uint64_t effective_at, std::string_view envelope_text, const char* prefix) {
    auto stmt = storage::Statement::prepare(db, sql);
    if (!stmt) return fail(prefix + stmt.error());
    Status s = stmt->bind_text(1, event.digest);
    if (s) s = stmt->bind_text(2, identity.identity_id);
    if (s) s = stmt->bind_text(3, public_key);
    if (s) s = stmt->bind_uint64(4, effective_at);
    if (s) s = stmt->bind_text(5, envelope_text);
    if (s) s = stmt->run();
    if (!s) return fail(prefix + s.error());
    return {};
}

// The stream event that commits a lifecycle event: in the identity's tenant,
// named by identity and event id, the stored envelope text as its payload.
Status mirror_lifecycle_event(storage::Connection& db, const ResolvedIdentity& identity,
                              std::string_view event_type, const SignedDocument& event,
                              std::string_view envelope_text, std::uint64_t effective_at) {
    auto appended = append_event(db, identity.tenant_id, event_type,
                                 lifecycle_stream_event_id(identity.identity_id, event.digest), envelope_text,
                                 effective_at);
    if (!appended) return fail(std::move(appended.error()));
    return {};
}

}  // namespace

Result<std::string> rotate_agent(Gate& gate, std::string_view current_key, std::string_view new_key) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    if (auto parsed = parse_public_key(new_key); !parsed) return fail(std::move(parsed.error()));
    if (current_key == new_key) return fail("ORVANE_ROTATION_INVALID: new key must differ from current key");

    auto root = gate_trusted_root(gate);
    if (!root) return fail(std::move(root.error()));
    auto clock = now_micros();
    if (!clock) return fail(std::move(clock.error()));
    auto current = active_identity(gate, *root, current_key, *clock,
                                   "ORVANE_ROTATION_INVALID: current identity is not active");
    if (!current) return fail(std::move(current.error()));

    auto authority = require_gate_authority(gate, *root);
    if (!authority) return fail(std::move(authority.error()));
    if (current_key == authority->public_key)
        return fail("ORVANE_ROTATION_INVALID: gate signer rotation requires an offline root ceremony");

    // The gate identity, for the tenant scope of the identity being rotated.
    auto gate_identity = resolve_identity(gate.db, *root, authority->public_key, *clock);
    if (!gate_identity) return fail(std::move(gate_identity.error()));
    if (!*gate_identity) return fail("ORVANE_REGISTRAR_NOT_AUTHORIZED");
    if ((*gate_identity)->tenant_id != "*" && (*gate_identity)->tenant_id != current->tenant_id)
        return fail("ORVANE_DELEGATION_SCOPE_DENIED");

    {
        // Hex is read in either case: the new key must not exist under any
        // spelling, or one key would end up with two identities.
        auto stmt = storage::Statement::prepare(gate.db,
                                                "SELECT 1 FROM agents WHERE public_key = ?1 COLLATE NOCASE");
        if (!stmt) return fail("Failed to check rotation key: " + stmt.error());
        if (auto b = stmt->bind_text(1, new_key); !b) return fail("Failed to check rotation key: " + b.error());
        auto row = stmt->step();
        if (!row) return fail("Failed to check rotation key: " + row.error());
        if (*row) return fail("ORVANE_AGENT_ALREADY_REGISTERED");
    }

    std::string alias, metadata_text;
    bool can_delegate = false;
    std::uint64_t previous_version = 0;
    {
        auto stmt = storage::Statement::prepare(
            gate.db, "SELECT alias, metadata, can_delegate, key_version FROM agents WHERE public_key = ?1");
        if (!stmt) return fail("Failed to read identity for rotation: " + stmt.error());
        if (auto b = stmt->bind_text(1, current_key); !b)
            return fail("Failed to read identity for rotation: " + b.error());
        auto row = stmt->step();
        if (!row) return fail("Failed to read identity for rotation: " + row.error());
        if (!*row) return fail("Failed to read identity for rotation: no agent row for the current key");
        // The alias goes into the new registration as it stands.
        auto stored_alias = stmt->column_text_checked(0);
        if (!stored_alias) return fail("Failed to read identity for rotation: " + stored_alias.error());
        alias = *stored_alias;
        metadata_text = stmt->column_text(1);
        can_delegate = stmt->column_int64(2) != 0;
        previous_version = static_cast<std::uint64_t>(stmt->column_int64(3));
    }
    auto metadata = parse_json(metadata_text);
    if (!metadata) return fail("Stored agent metadata is invalid: " + metadata.error());

    auto clock_now = now_micros();
    if (!clock_now) return fail(std::move(clock_now.error()));
    const std::uint64_t now = *clock_now;
    if (previous_version >= kMaxKeyVersion) return fail("ORVANE_ROTATION_INVALID: key version overflow");
    const std::uint64_t new_version = previous_version + 1;

    const Signer& signer = *authority->signer;
    Json event = lifecycle_event("ROTATE", *current, new_key, now, signer.identity());
    event["previous_public_key"] = current_key;
    event["previous_key_version"] = previous_version;
    event["key_version"] = new_version;
    auto rotation = sign_document(signer, std::move(event));
    if (!rotation) return fail(std::move(rotation.error()));
    const std::string envelope_text = canonical_json(envelope(*rotation));

    const std::string signer_uri = "local-ed25519://" + std::string(new_key);
    auto registration = sign_document(
        signer, registration_event({new_key, current->identity_id, alias, *metadata, can_delegate, now,
                                    authority->public_key, current->tenant_id, new_version, signer_uri,
                                    "Ed25519", std::string_view(rotation->digest)}));
    if (!registration) return fail(std::move(registration.error()));

    auto tx = storage::Transaction::begin(gate.db);
    if (!tx) return fail("Failed to begin identity rotation: " + tx.error());
    {
        auto stmt = storage::Statement::prepare(
            gate.db, "UPDATE agents SET status = 'rotated', valid_until = ?1 WHERE public_key = ?2 AND status = 'active'");
        if (!stmt) return fail("Failed to retire previous key: " + stmt.error());
        Status s = stmt->bind_uint64(1, now);
        if (s) s = stmt->bind_text(2, current_key);
        if (s) s = stmt->run();
        if (!s) return fail("Failed to retire previous key: " + s.error());
    }
    {
        auto stmt = storage::Statement::prepare(
            gate.db,
            "INSERT INTO agents (public_key, alias, registered_at, metadata, status, can_delegate, registered_by, "
            "registration_event_id, registration_event, registration_signature, identity_id, tenant_id, "
            "key_version, signer_uri, algorithm, valid_from) VALUES (?1, ?2, ?3, ?4, 'active', ?5, ?6, ?7, ?8, "
            "?9, ?10, ?11, ?12, ?13, 'Ed25519', ?3)");
        if (!stmt) return fail("Failed to install rotated key: " + stmt.error());
        Status s = stmt->bind_text(1, new_key);
        if (s) s = stmt->bind_text(2, alias);
        if (s) s = stmt->bind_uint64(3, now);
        if (s) s = stmt->bind_text(4, metadata_text);
        if (s) s = stmt->bind_int64(5, can_delegate ? 1 : 0);
        if (s) s = stmt->bind_text(6, authority->public_key);
        if (s) s = stmt->bind_text(7, registration->digest);
        if (s) s = stmt->bind_text(8, registration->canonical);
        if (s) s = stmt->bind_text(9, registration->signature);
        if (s) s = stmt->bind_text(10, current->identity_id);
        if (s) s = stmt->bind_text(11, current->tenant_id);
        if (s) s = stmt->bind_uint64(12, new_version);
        if (s) s = stmt->bind_text(13, signer_uri);
        if (s) s = stmt->run();
        if (!s) return fail("Failed to install rotated key: " + s.error());
    }
    ORVANE_TRY(insert_lifecycle_event(
        gate.db,
        "INSERT INTO identity_lifecycle_events (event_id, identity_id, public_key, event_type, effective_at, "
        "event_json) VALUES (?1, ?2, ?3, 'ROTATE', ?4, ?5)",
        *rotation, *current, new_key, now, envelope_text, "Failed to persist rotation event: "));
    ORVANE_TRY(mirror_lifecycle_event(gate.db, *current, "identity.rotated", *rotation, envelope_text, now));
    if (auto committed = tx->commit(); !committed)
        return fail("Failed to commit identity rotation: " + committed.error());
    return envelope_text;
}

Result<std::string> revoke_agent(Gate& gate, std::string_view public_key, std::string_view reason) {
    VerificationScope remember_checks(gate.verified, loaded_signer_key(gate));  // the same checks recur below
    if (is_blank(reason)) return fail("ORVANE_REVOCATION_INVALID: reason must not be empty");
    auto root = gate_trusted_root(gate);
    if (!root) return fail(std::move(root.error()));
    auto clock = now_micros();
    if (!clock) return fail(std::move(clock.error()));
    auto identity = active_identity(gate, *root, public_key, *clock,
                                    "ORVANE_REVOCATION_INVALID: identity key is not active");
    if (!identity) return fail(std::move(identity.error()));
    auto authority = require_gate_authority(gate, *root);
    if (!authority) return fail(std::move(authority.error()));
    if (public_key == authority->public_key)
        return fail("ORVANE_REVOCATION_INVALID: rotate the active gate signer before revoking it");

    auto clock_now = now_micros();
    if (!clock_now) return fail(std::move(clock_now.error()));
    const std::uint64_t now = *clock_now;
    const Signer& signer = *authority->signer;
    Json event = lifecycle_event("REVOKE", *identity, public_key, now, signer.identity());
    event["reason"] = reason;
    auto revocation = sign_document(signer, std::move(event));
    if (!revocation) return fail(std::move(revocation.error()));
    Json result = envelope(*revocation);
    const std::string envelope_text = canonical_json(result);

    auto tx = storage::Transaction::begin(gate.db);
    if (!tx) return fail("Failed to begin identity revocation: " + tx.error());
    {
        auto stmt = storage::Statement::prepare(
            gate.db,
            "UPDATE agents SET status = 'revoked', valid_until = ?1, revoked_at = ?1 WHERE public_key = ?2 AND "
            "status = 'active'");
        if (!stmt) return fail("Failed to revoke identity: " + stmt.error());
        Status s = stmt->bind_uint64(1, now);
        if (s) s = stmt->bind_text(2, public_key);
        if (s) s = stmt->run();
        if (!s) return fail("Failed to revoke identity: " + s.error());
    }
    ORVANE_TRY(insert_lifecycle_event(
        gate.db,
        "INSERT INTO identity_lifecycle_events (event_id, identity_id, public_key, event_type, effective_at, "
        "event_json) VALUES (?1, ?2, ?3, 'REVOKE', ?4, ?5)",
        *revocation, *identity, public_key, now, envelope_text, "Failed to persist revocation event: "));
    ORVANE_TRY(mirror_lifecycle_event(gate.db, *identity, "identity.revoked", *revocation, envelope_text, now));
    std::uint64_t revoked_permits = 0;
    {
        auto stmt = storage::Statement::prepare(
            gate.db,
            "INSERT OR IGNORE INTO revoked_authorizations (authorization_id, revoked_at, reason, identity_event_id) "
            "SELECT a.authorization_id, ?1, ?2, ?3 FROM action_authorizations a LEFT JOIN action_outcomes o ON "
            "o.authorization_id = a.authorization_id WHERE a.agent_id = ?4 AND a.decision = 'ALLOWED' AND "
            "a.expires_at > ?1 AND o.authorization_id IS NULL");
        if (!stmt) return fail("Failed to revoke unconsumed permits: " + stmt.error());
        Status s = stmt->bind_uint64(1, now);
        if (s) s = stmt->bind_text(2, reason);
        if (s) s = stmt->bind_text(3, revocation->digest);
        if (s) s = stmt->bind_text(4, public_key);
        if (s) s = stmt->run();
        if (!s) return fail("Failed to revoke unconsumed permits: " + s.error());
        revoked_permits = static_cast<std::uint64_t>(sqlite3_changes(gate.db.handle()));
    }
    if (auto committed = tx->commit(); !committed)
        return fail("Failed to commit identity revocation: " + committed.error());
    result["revoked_unconsumed_permits"] = revoked_permits;
    return canonical_json(result);
}

}  // namespace orvane
